// A scripted waveIn for the ring tests: the backend's calls into winmm land here
// instead (see AEFakeWaveInWin32.cpp), so a test can finish buffers in any order, fail
// the Nth call of a step and read back the order of the calls.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <cstdint>
#include <string>
#include <vector>

struct TFakeWaveIn {
  // Script.
  std::vector<std::wstring> Devices;   // waveInGetNumDevs and the product names
  std::vector<bool> CapsFail;          // per device: waveInGetDevCapsW fails
  MMRESULT OpenResult = MMSYSERR_NOERROR;
  int PrepareFailsAt = 0;              // 1-based call that fails with FailResult, 0 = none
  int AddFailsAt = 0;
  MMRESULT StartResult = MMSYSERR_NOERROR;
  MMRESULT StopResult = MMSYSERR_NOERROR;
  MMRESULT FailResult = MMSYSERR_INVALPARAM;
  bool NoErrorText = false;            // waveInGetErrorTextW fails

  // What happened.
  std::vector<std::string> Calls;      // "open", "prepare 2", "add 0", "reset", ...
  UINT OpenedDevice = 0;
  WAVEFORMATEX Format{};
  DWORD_PTR Callback = 1, Instance = 1;
  DWORD OpenFlags = 0xFFFFFFFF;
  std::vector<WAVEHDR*> Headers;       // by index, as first prepared or added
  int PrepareCalls = 0, AddCalls = 0;

  // Index of a header the backend handed in (registered on first sight).
  int IndexOf(WAVEHDR* h);
  // The device fills header i: the samples go into its buffer and it is marked done.
  void Finish(int i, const std::vector<std::int16_t>& samples);
  // As Finish, with a raw byte count (for odd and empty recordings).
  void FinishBytes(int i, DWORD bytes);
};

// The one fake all calls go to; reset by each test.
extern TFakeWaveIn* GFakeWaveIn;
