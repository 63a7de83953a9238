/* A capture device for the audio tests, loaded by ALSA as an external PCM plugin.

   It serves a raw S16_LE mono file exactly once per frame, paced by the monotonic
   clock at the negotiated rate, so that a reader sees what a sound card would show:
   nothing before start, the file's frames as time passes, and lost frames when the
   reader falls more than a buffer behind (reported as an overrun). With `late "wait"`
   the clock stands still instead while the reader is a buffer behind, so that no frame
   is lost: for readers that are not ours to test (Wine's driver, starved on a loaded
   machine). After the end of the file it serves silence or, with `end "error"`, fails
   every read with EIO.

   Configuration (see velkarn-test-alsa.conf.in):
     pcm.NAME { type velkarntest file "PATH" end "silence"|"error" late "lose"|"wait" }
   Every open starts at the first frame of the file. */
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

typedef struct {
  snd_pcm_ioplug_t io;
  int16_t* data;              /* the whole file */
  snd_pcm_uframes_t frames;   /* its length in frames */
  int errorAtEnd;             /* EIO instead of silence after the last frame */
  int waitForReader;          /* hold the clock rather than overrun */
  struct timespec startTime;  /* when the current run began */
  snd_pcm_uframes_t held;     /* frames of the run during which the clock stood still */
  int running;
  snd_pcm_uframes_t base;     /* file frame that the current run began with */
  snd_pcm_uframes_t served;   /* frames read in the current run */
} TTestCapture;

static snd_pcm_uframes_t ElapsedFrames(const TTestCapture* c) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const int64_t ns = (int64_t)(now.tv_sec - c->startTime.tv_sec) * 1000000000 +
                     (now.tv_nsec - c->startTime.tv_nsec);
  return (snd_pcm_uframes_t)((__int128)ns * c->io.rate / 1000000000) - c->held;
}

/* Frames that went by while the run lasted are gone, as on a real card. */
static void EndRun(TTestCapture* c) {
  if (!c->running) return;
  c->base += ElapsedFrames(c);
  c->running = 0;
}

static int CaptureStart(snd_pcm_ioplug_t* io) {
  TTestCapture* c = io->private_data;
  clock_gettime(CLOCK_MONOTONIC, &c->startTime);
  c->running = 1;
  c->served = 0;
  c->held = 0;
  return 0;
}

static int CaptureStop(snd_pcm_ioplug_t* io) {
  EndRun(io->private_data);
  return 0;
}

static int CapturePrepare(snd_pcm_ioplug_t* io) {
  TTestCapture* c = io->private_data;
  EndRun(c);
  c->served = 0;
  return 0;
}

static snd_pcm_sframes_t CapturePointer(snd_pcm_ioplug_t* io) {
  TTestCapture* c = io->private_data;
  if (!c->running) return 0;
  snd_pcm_uframes_t elapsed = ElapsedFrames(c);
  /* A full buffer counts as an overrun already: the position is reported modulo the
     buffer size, so a whole buffer ahead could not be told from none. */
  if (elapsed - c->served >= io->buffer_size) {
    if (!c->waitForReader) return -EPIPE;
    /* The clock stands still for the frames the reader would have missed. */
    const snd_pcm_uframes_t full = c->served + io->buffer_size - 1;
    c->held += elapsed - full;
    elapsed = full;
  }
  return (snd_pcm_sframes_t)(elapsed % io->buffer_size);
}

static snd_pcm_sframes_t CaptureTransfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                                         snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
  TTestCapture* c = io->private_data;
  int16_t* dst = (int16_t*)((char*)areas[0].addr + (areas[0].first + areas[0].step * offset) / 8);
  const snd_pcm_uframes_t first = c->base + c->served;
  snd_pcm_uframes_t n = 0;
  for (; n < size; ++n) {
    const snd_pcm_uframes_t idx = first + n;
    if (idx < c->frames)
      dst[n] = c->data[idx];
    else if (c->errorAtEnd)
      break;
    else
      dst[n] = 0;
  }
  if (n == 0 && size > 0) return -EIO;
  c->served += n;
  return (snd_pcm_sframes_t)n;
}

static int CaptureClose(snd_pcm_ioplug_t* io) {
  TTestCapture* c = io->private_data;
  if (io->poll_fd >= 0) close(io->poll_fd);
  free(c->data);
  free(c);
  return 0;
}

static const snd_pcm_ioplug_callback_t kCallbacks = {
    .start = CaptureStart,
    .stop = CaptureStop,
    .pointer = CapturePointer,
    .transfer = CaptureTransfer,
    .close = CaptureClose,
    .prepare = CapturePrepare,
};

static int LoadFile(TTestCapture* c, const char* path) {
  FILE* f = fopen(path, "rb");
  if (f == NULL) return -errno;
  int err = 0;
  if (fseek(f, 0, SEEK_END) != 0) err = -errno;
  long bytes = err == 0 ? ftell(f) : -1;
  if (bytes < 0 && err == 0) err = -errno;
  if (err == 0 && fseek(f, 0, SEEK_SET) != 0) err = -errno;
  if (err == 0) {
    c->frames = (snd_pcm_uframes_t)bytes / 2;
    c->data = malloc(c->frames * 2 + 2);
    if (c->data == NULL)
      err = -ENOMEM;
    else if (fread(c->data, 2, c->frames, f) != c->frames)
      err = -EIO;
  }
  fclose(f);
  return err;
}

static int SetConstraints(snd_pcm_ioplug_t* io) {
  static const unsigned int kAccess[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
  static const unsigned int kFormats[] = {SND_PCM_FORMAT_S16_LE};
  int err;
  if ((err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, 1, kAccess)) < 0 ||
      (err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, 1, kFormats)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, 1, 1)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, 4000, 192000)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 32, 1 << 20)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, 2, 1024)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, 64, 1 << 24)) < 0)
    return err;
  return 0;
}

SND_PCM_PLUGIN_DEFINE_FUNC(velkarntest) {
  (void)root;
  const char* path = NULL;
  const char* end = "silence";
  const char* late = "lose";
  snd_config_iterator_t i, next;
  snd_config_for_each(i, next, conf) {
    snd_config_t* n = snd_config_iterator_entry(i);
    const char* id;
    if (snd_config_get_id(n, &id) < 0) continue;
    if (strcmp(id, "comment") == 0 || strcmp(id, "type") == 0 || strcmp(id, "hint") == 0) continue;
    if (strcmp(id, "file") == 0) {
      if (snd_config_get_string(n, &path) < 0) return -EINVAL;
      continue;
    }
    if (strcmp(id, "end") == 0) {
      if (snd_config_get_string(n, &end) < 0) return -EINVAL;
      continue;
    }
    if (strcmp(id, "late") == 0) {
      if (snd_config_get_string(n, &late) < 0) return -EINVAL;
      continue;
    }
    SNDERR("Unknown field %s", id);
    return -EINVAL;
  }
  if (stream != SND_PCM_STREAM_CAPTURE || path == NULL) return -EINVAL;
  if (strcmp(end, "silence") != 0 && strcmp(end, "error") != 0) return -EINVAL;
  if (strcmp(late, "lose") != 0 && strcmp(late, "wait") != 0) return -EINVAL;

  TTestCapture* c = calloc(1, sizeof(*c));
  if (c == NULL) return -ENOMEM;
  c->errorAtEnd = strcmp(end, "error") == 0;
  c->waitForReader = strcmp(late, "wait") == 0;
  int err = LoadFile(c, path);
  if (err < 0) {
    free(c->data);
    free(c);
    return err;
  }
  /* Always readable: nobody here waits in poll(), and a blocking reader simply
     re-checks the available frames. */
  c->io.poll_fd = eventfd(1, EFD_CLOEXEC | EFD_NONBLOCK);
  c->io.poll_events = POLLIN;
  c->io.version = SND_PCM_IOPLUG_VERSION;
  c->io.name = "Velkarn test capture";
  c->io.callback = &kCallbacks;
  c->io.private_data = c;
  if ((err = snd_pcm_ioplug_create(&c->io, name, stream, mode)) < 0) {
    if (c->io.poll_fd >= 0) close(c->io.poll_fd);
    free(c->data);
    free(c);
    return err;
  }
  if ((err = SetConstraints(&c->io)) < 0) {
    snd_pcm_ioplug_delete(&c->io);
    return err;
  }
  *pcmp = c->io.pcm;
  return 0;
}

SND_PCM_PLUGIN_SYMBOL(velkarntest);
