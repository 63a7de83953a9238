// The wave server (udp mode) and the retention sweep of old hour folders.
#include "AERetention.h"
#include "AEWaveServer.h"
#include "VelkarnCore.h"

void TVelkarn::ActivateWaveServer() {
  if (!FWaveServer)
    FWaveServer =
        std::make_unique<TAEWaveServer>(FSettings, FStats.WaveRequests.Atomic(), FStats.WaveServed.Atomic());
  FWaveServer->Activate(FSettings.WaveServerPort);
}

void TVelkarn::DeactivateWaveServer() {
  if (FWaveServer && FWaveServer->Active()) FWaveServer->Deactivate();
}

void TVelkarn::SweepRetention() { ::SweepRetention(FSettings.DataRoot, FSettings.RetentionHours, NowFileTime()); }
