#include "AEDsp.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <numbers>
#include <stdexcept>
#include <vector>

#include "AEProtocol.h"

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

// The twiddle factors of one butterfly stage, in the order the per-block recurrence
// produces them: w0 = (1, 0), then w' = w * (cos theta, sin theta). Every block of the
// stage starts the recurrence afresh at (1, 0), so it always yields this very sequence;
// computing it once gives the same bits as running it in each block.
struct TStageTwiddles {
  std::vector<double> Re, Im;
};

const TStageTwiddles* MakeStageTwiddles(std::size_t len) {
  auto* t = new TStageTwiddles;
  const std::size_t half = len / 2;
  t->Re.resize(half);
  t->Im.resize(half);
  const double theta = -kTwoPi / static_cast<double>(len);
  const double c = std::cos(theta);
  const double s = std::sin(theta);
  double wr = 1.0;
  double wi = 0.0;
  for (std::size_t j = 0; j < half; ++j) {
    t->Re[j] = wr;
    t->Im[j] = wi;
    const double nextWr = wr * c - wi * s;
    wi = wr * s + wi * c;
    wr = nextWr;
  }
  return t;
}

// One table per stage size, made on first use and kept for the life of the process
// (at most twice the largest transform's length in doubles). Readers take the atomic
// pointer without a lock; only the first caller of a size builds it.
constexpr int kMaxStages = 8 * sizeof(std::size_t);
std::atomic<const TStageTwiddles*> GStageTwiddles[kMaxStages];
std::mutex GStageTwiddlesLock;

const TStageTwiddles& StageTwiddles(int stage) {
  const TStageTwiddles* t = GStageTwiddles[stage].load(std::memory_order_acquire);
  if (t)
    return *t;
  std::lock_guard lock(GStageTwiddlesLock);
  t = GStageTwiddles[stage].load(std::memory_order_relaxed);
  if (!t) {
    t = MakeStageTwiddles(std::size_t{1} << stage);
    GStageTwiddles[stage].store(t, std::memory_order_release);
  }
  return *t;
}

// The bit-reversal permutation of 2^bits indices, i.e. the index the running reversed
// counter reaches at each i; made and kept like the twiddles.
std::atomic<const std::vector<std::uint32_t>*> GBitReversal[32];
std::mutex GBitReversalLock;

const std::uint32_t* BitReversal(int bits) {
  const std::vector<std::uint32_t>* t = GBitReversal[bits].load(std::memory_order_acquire);
  if (!t) {
    std::lock_guard lock(GBitReversalLock);
    t = GBitReversal[bits].load(std::memory_order_relaxed);
    if (!t) {
      const std::size_t n = std::size_t{1} << bits;
      auto* made = new std::vector<std::uint32_t>(n);
      std::size_t j = 0;
      for (std::size_t i = 0; i < n; ++i) {
        (*made)[i] = static_cast<std::uint32_t>(j);
        std::size_t k = n / 2;
        while (k >= 1 && k <= j) {
          j -= k;
          k /= 2;
        }
        j += k;
      }
      t = made;
      GBitReversal[bits].store(t, std::memory_order_release);
    }
  }
  return t->data();
}

int Log2(std::size_t powerOfTwo) {
  int bits = 0;
  while ((std::size_t{1} << bits) < powerOfTwo)
    ++bits;
  return bits;
}

// Hann weights 0.5 - 0.5 cos(2 pi i / D) of one window length, by the same expression
// the plain loop uses. The agent's window length never changes, so a handful of
// lengths covers every caller; the least recently made one is dropped beyond that.
class THannCache {
 public:
  std::shared_ptr<const std::vector<double>> Weights(std::size_t n) {
    {
      std::lock_guard lock(FLock);
      for (const auto& w : FWeights)
        if (w->size() == n)
          return w;
    }
    auto made = std::make_shared<std::vector<double>>(n);
    const double d = static_cast<double>(std::max<std::size_t>(n - 1, 1));
    for (std::size_t i = 0; i < n; ++i)
      (*made)[i] = 0.5 - 0.5 * std::cos(kTwoPi * static_cast<double>(i) / d);
    std::lock_guard lock(FLock);
    if (FWeights.size() == kKeep)
      FWeights.erase(FWeights.begin());
    FWeights.push_back(made);
    return made;
  }

 private:
  static constexpr std::size_t kKeep = 4;
  std::mutex FLock;
  std::vector<std::shared_ptr<const std::vector<double>>> FWeights;  // guarded by FLock
};

THannCache GHannCache;

// The m largest values seen, ascending; starts as m zeros. The power values are never
// negative, so the zeros stand for the DC slot (always 0) and any missing lines, and the
// result is the same multiset as the top m of the fully sorted array.
class TStrongest {
 public:
  explicit TStrongest(std::size_t m) : FCount(m) {}
  void Offer(double p) {
    if (!(p > FTop[0]))
      return;
    std::size_t i = 1;
    for (; i < FCount && FTop[i] < p; ++i)
      FTop[i - 1] = FTop[i];
    FTop[i - 1] = p;
  }
  // Summed in ascending order, as a sorted array's tail would be.
  double Sum() const {
    double sum = 0.0;
    for (std::size_t i = 0; i < FCount; ++i)
      sum += FTop[i];
    return sum;
  }

 private:
  std::size_t FCount;
  double FTop[10] = {};
};

// Two doubles in one SSE2 register (any x86-64): elementwise IEEE operations, so each
// lane rounds exactly as the scalar code would; no fused multiply-add is formed
// (-ffp-contract=off).
typedef double TPair __attribute__((vector_size(16)));

TPair LoadPair(const double* p) {
  TPair v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void StorePair(double* p, TPair v) { std::memcpy(p, &v, sizeof v); }

// Full complex product even where w is (1, 0): multiplying by 0 can flip the sign of a
// zero, and the plain loop's bits include that.
inline void Butterfly(double* ar, double* ai, double* br, double* bi, double wr, double wi) {
  const double tr = *br * wr - *bi * wi;
  const double ti = *br * wi + *bi * wr;
  *br = *ar - tr;
  *bi = *ai - ti;
  *ar = *ar + tr;
  *ai = *ai + ti;
}

// Lane-wise butterfly on two pairs: the same operations as Butterfly, per lane.
inline void ButterflyPair(TPair& ar, TPair& ai, TPair& br, TPair& bi, TPair wr, TPair wi) {
  const TPair tr = br * wr - bi * wi;
  const TPair ti = br * wi + bi * wr;
  br = ar - tr;
  bi = ai - ti;
  ar = ar + tr;
  ai = ai + ti;
}

// The stages of length len and 2 len in one pass over the data (len >= 4), so the
// data crosses the cache half as often; every butterfly is the one of its own stage.
void TwoStages(double* xr, double* xi, std::size_t n, std::size_t len, const TStageTwiddles& first,
               const TStageTwiddles& second) {
  const std::size_t h = len / 2;
  // Plain locals: through a vector's data() the compiler would reload the pointers after
  // every store.
  const double* w1r = first.Re.data();
  const double* w1i = first.Im.data();
  const double* w2r = second.Re.data();
  const double* w2i = second.Im.data();
  for (std::size_t i = 0; i < n; i += 2 * len) {
    double* r0 = xr + i;
    double* r1 = r0 + h;
    double* r2 = r0 + len;
    double* r3 = r2 + h;
    double* m0 = xi + i;
    double* m1 = m0 + h;
    double* m2 = m0 + len;
    double* m3 = m2 + h;
    for (std::size_t k = 0; k < h; k += 2) {
      TPair a0r = LoadPair(r0 + k), a0i = LoadPair(m0 + k);
      TPair a1r = LoadPair(r1 + k), a1i = LoadPair(m1 + k);
      TPair a2r = LoadPair(r2 + k), a2i = LoadPair(m2 + k);
      TPair a3r = LoadPair(r3 + k), a3i = LoadPair(m3 + k);
      const TPair wr = LoadPair(w1r + k), wi = LoadPair(w1i + k);
      ButterflyPair(a0r, a0i, a1r, a1i, wr, wi);
      ButterflyPair(a2r, a2i, a3r, a3i, wr, wi);
      ButterflyPair(a0r, a0i, a2r, a2i, LoadPair(w2r + k), LoadPair(w2i + k));
      ButterflyPair(a1r, a1i, a3r, a3i, LoadPair(w2r + k + h), LoadPair(w2i + k + h));
      StorePair(r0 + k, a0r);
      StorePair(m0 + k, a0i);
      StorePair(r1 + k, a1r);
      StorePair(m1 + k, a1i);
      StorePair(r2 + k, a2r);
      StorePair(m2 + k, a2i);
      StorePair(r3 + k, a3r);
      StorePair(m3 + k, a3i);
    }
  }
}

// One stage of length len >= 4.
void OneStage(double* xr, double* xi, std::size_t n, std::size_t len, const TStageTwiddles& tw) {
  const std::size_t half = len / 2;
  const double* wr = tw.Re.data();
  const double* wi = tw.Im.data();
  for (std::size_t i = 0; i < n; i += len) {
    double* ar = xr + i;
    double* ai = xi + i;
    double* br = ar + half;
    double* bi = ai + half;
    for (std::size_t k = 0; k < half; k += 2) {
      TPair pr = LoadPair(ar + k), pi = LoadPair(ai + k);
      TPair qr = LoadPair(br + k), qi = LoadPair(bi + k);
      ButterflyPair(pr, pi, qr, qi, LoadPair(wr + k), LoadPair(wi + k));
      StorePair(ar + k, pr);
      StorePair(ai + k, pi);
      StorePair(br + k, qr);
      StorePair(bi + k, qi);
    }
  }
}

// The butterfly stages of the transform, on data already in bit-reversed order (n >= 2).
void FFTStages(double* xr, double* xi, std::size_t n) {
  if (n == 2) {
    Butterfly(xr, xi, xr + 1, xi + 1, 1.0, 0.0);
    return;
  }
  // Stages 2 and 4 together, four points at a time.
  const TStageTwiddles& four = StageTwiddles(2);
  const double w0r = four.Re[0], w0i = four.Im[0], w1r = four.Re[1], w1i = four.Im[1];
  for (std::size_t i = 0; i < n; i += 4) {
    Butterfly(xr + i, xi + i, xr + i + 1, xi + i + 1, 1.0, 0.0);
    Butterfly(xr + i + 2, xi + i + 2, xr + i + 3, xi + i + 3, 1.0, 0.0);
    Butterfly(xr + i, xi + i, xr + i + 2, xi + i + 2, w0r, w0i);
    Butterfly(xr + i + 1, xi + i + 1, xr + i + 3, xi + i + 3, w1r, w1i);
  }
  int stage = 3;
  std::size_t len = 8;
  for (; 2 * len <= n; len *= 4, stage += 2)
    TwoStages(xr, xi, n, len, StageTwiddles(stage), StageTwiddles(stage + 1));
  if (len <= n)
    OneStage(xr, xi, n, len, StageTwiddles(stage));
}

}  // namespace

double Sigmoid(double x) {
  const double clamped = std::clamp(x, -50.0, 50.0);
  return 1.0 / (1.0 + std::exp(-clamped));
}

void FFT(std::span<double> re, std::span<double> im) {
  const std::size_t n = re.size();
  if (im.size() != n || !std::has_single_bit(n) || n > (std::size_t{1} << 31))
    throw std::invalid_argument("FFT needs two arrays of one power-of-two length up to 2^31");
  if (n == 1)
    return;
  const std::uint32_t* reversed = BitReversal(Log2(n));
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t j = reversed[i];
    if (i < j) {
      std::swap(re[i], re[j]);
      std::swap(im[i], im[j]);
    }
  }
  FFTStages(re.data(), im.data(), n);
}

void ExtractFeatures(std::span<const std::int16_t> samples, double sampleRate, double voltsPerCount,
                     double thresholdV, TAEHitFeatures& f) {
  f = TAEHitFeatures{};
  const std::size_t n = samples.size();
  if (n == 0)
    return;

  double peak = 0.0;
  std::size_t peakIndex = 0;
  std::ptrdiff_t first = -1;
  std::ptrdiff_t last = -1;
  double previous = 0.0;
  std::uint32_t counts = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double v = samples[i] * voltsPerCount;
    const double a = std::fabs(v);
    if (a > peak) {
      peak = a;
      peakIndex = i;
    }
    if (a >= thresholdV) {
      if (first < 0)
        first = static_cast<std::ptrdiff_t>(i);
      last = static_cast<std::ptrdiff_t>(i);
    }
    if (i > 0 && previous < thresholdV && v >= thresholdV)
      ++counts;
    previous = v;
  }
  f.Counts = counts;
  f.AmplitudeDb = static_cast<float>(20.0 * std::log10(std::max(peak, 1e-9) / 1e-6));
  if (first >= 0) {
    const auto firstIndex = static_cast<std::size_t>(first);
    if (peakIndex >= firstIndex)
      f.RiseTimeUs = static_cast<float>(static_cast<double>(peakIndex - firstIndex) / sampleRate * 1e6);
    f.DurationUs = static_cast<float>(static_cast<double>(last - first) / sampleRate * 1e6);
    double energy = 0.0;
    for (std::size_t i = firstIndex; i <= static_cast<std::size_t>(last); ++i) {
      const double v = samples[i] * voltsPerCount;
      energy += v * v;
    }
    f.Energy = static_cast<float>(energy / sampleRate * 1e12);
  }

  std::size_t padded = 1;
  while (padded < n)
    padded *= 2;
  std::vector<double> re(padded, 0.0);
  std::vector<double> im(padded, 0.0);
  const auto hann = GHannCache.Weights(n);
  // Windowed samples go straight to their bit-reversed places (the values are only
  // moved by the permutation, so this equals windowing, padding and permuting).
  const std::uint32_t* reversed = BitReversal(Log2(padded));
  for (std::size_t i = 0; i < n; ++i)
    re[reversed[i]] = (samples[i] * voltsPerCount) * (*hann)[i];
  if (padded >= 2)
    FFTStages(re.data(), im.data(), padded);

  // Lines 1 .. N/2-1: DC and Nyquist are left out.
  const double binHz = sampleRate / static_cast<double>(padded);
  const std::size_t half = padded / 2;
  TStrongest strongest(std::min<std::size_t>(10, half));
  double total = 0.0;
  double largest = 0.0;
  double sumA = 0.0;
  double sumAf = 0.0;
  for (std::size_t k = 1; k < half; ++k) {
    const double p = re[k] * re[k] + im[k] * im[k];
    total += p;
    strongest.Offer(p);
    const double a = std::sqrt(p);
    if (a > largest) {  // strictly: the lowest of equal lines wins
      largest = a;
      f.PeakFreqKHz = static_cast<float>(static_cast<double>(k) * binHz / 1000.0);
    }
    sumA += a;
    sumAf += a * static_cast<double>(k) * binHz;
  }
  if (sumA > 0)
    f.CentroidKHz = static_cast<float>(sumAf / sumA / 1000.0);
  if (total > 0)
    f.Tonality = static_cast<float>(strongest.Sum() / total);
}

void TAEHitFeatures::Classify(double windowUs, std::uint8_t& hitClass, std::uint8_t& subCode,
                              float& confidence) const {
  subCode = 0;
  if (Counts == 0) {
    hitClass = hcNoise;
    confidence = 0.95f;
    return;
  }
  const double peakKHz = PeakFreqKHz;
  const double riseUs = RiseTimeUs;
  const double durationUs = DurationUs;
  const double counts = Counts;
  const double tonality = Tonality;
  const double d = durationUs / windowUs;
  const double h = Sigmoid((peakKHz - 100) / 15) * Sigmoid((50 - riseUs) / 8) * Sigmoid(counts - 3) *
                   Sigmoid((0.6 - d) / 0.05);
  const double l = Sigmoid((d - 0.7) / 0.05) * Sigmoid((120 - peakKHz) / 15);
  hitClass = hcNoise;
  double best = 0.15;  // the fixed noise score; ties keep the earlier class
  if (h > best) {
    hitClass = hcCrack;
    best = h;
  }
  if (l > best) {
    hitClass = hcLeak;
    best = l;
  }
  confidence = static_cast<float>(best / (h + l + 0.15));
  if (d > 0.7 && tonality > 0.6) {
    hitClass = hcUnknown;  // a long tonal hit is a foreign source, whatever scored best
    subCode = 1;
    confidence = static_cast<float>(std::min(tonality, 0.99));
    return;
  }
  if (confidence < 0.5f) {
    hitClass = hcUnknown;
    return;
  }
  if (hitClass == hcNoise) {
    if (Counts <= 2 && durationUs < 5)
      subCode = 3;
    else if (peakKHz < 80 && riseUs > 80)
      subCode = 1;
  }
}

void ClassifyAudioHit(const TAEHitFeatures& f, std::int32_t windowSamples, std::uint32_t sampleRateHz,
                      std::uint8_t& hitClass, std::uint8_t& subCode, float& confidence) {
  const double windowUs = windowSamples * 0.7 / sampleRateHz * 1000000;  // 70 % of the window
  const double tonality = f.Tonality;
  // Written so that a NaN fails each test and gives noise.
  if (static_cast<double>(f.DurationUs) > windowUs && tonality > 0.6 && static_cast<double>(f.PeakFreqKHz) >= 0.07) {
    hitClass = hcUnknown;
    subCode = 1;
    confidence = static_cast<float>(std::min(tonality, 0.99));
  } else {
    hitClass = hcNoise;
    subCode = 2;
    confidence = 1.0f;
  }
}
