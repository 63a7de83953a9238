#include "AESettings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>

#include "AEErrors.h"
#include "AEProtocol.h"
#include "common/AETestTemp.h"
#include "settings/AEUnmarkedIni.h"

namespace {

class Settings : public testing::Test {
 protected:
  TAESettings LoadText(const std::string& text, char sep = '.') {
    WriteFileBytes(FIni, text);
    TAESettings s;
    s.LoadFrom(FIni.string(), FExeFolder, sep);
    return s;
  }
  TAETempDir FDir;
  std::filesystem::path FIni = FDir.Path() / "Velkarn.ini";
  std::string FExeFolder = FDir.Str() + PathDelimiter();
};

}  // namespace

TEST_F(Settings, MissingFileGivesDefaultsAndIsWritten) {
  TAESettings s;
  s.LoadFrom(FIni.string(), FExeFolder, '.');
  EXPECT_EQ(s.AgentId, 1);
  EXPECT_EQ(s.Channels, 16);
  EXPECT_EQ(s.HitsPerSecPerChannel, 5.0);
  EXPECT_EQ(s.SampleRateHz, 2000000u);
  EXPECT_EQ(s.SamplesPerHit, 4096);
  EXPECT_EQ(s.DataRoot, FExeFolder + "Data");
  EXPECT_EQ(s.UdpPort, 47100);
  EXPECT_EQ(s.WaveServerPort, 47101);
  EXPECT_EQ(s.Source, "sim");
  EXPECT_EQ(s.Transport, "udp");
  EXPECT_EQ(s.AudioDevice, -1);
  EXPECT_EQ(s.PreTriggerSamples, 512);
  EXPECT_EQ(s.DeadTimeMs, 250);
  EXPECT_EQ(s.MqttUrl, kDefaultMqttUrl);
  EXPECT_EQ(s.ConsoleUrl, kDefaultConsoleUrl);
  EXPECT_TRUE(s.MqttSendWaves);
  EXPECT_EQ(s.MqttKeepAliveSec, 20);
  EXPECT_DOUBLE_EQ(s.VoltsPerCount(), 3.0517578125e-06);
  EXPECT_NEAR(s.ThresholdV(), 1e-4, 1e-12);

  const std::string expected =
      "[Agent]\r\nAgentId=1\r\nChannels=16\r\nHitsPerSecPerChannel=5\r\nSampleRateHz=2000000\r\n"
      "SamplesPerHit=4096\r\nDataRoot=" + FExeFolder + "Data\r\nRetentionHours=24\r\n\r\n"
      "[Network]\r\nUdpHost=127.0.0.1\r\nUdpPort=47100\r\nWaveServerPort=47101\r\nPingIntervalSec=60\r\n"
      "Transport=udp\r\n\r\n"
      "[Simulation]\r\nCrackShare=0.15\r\nLeakShare=0.25\r\nForeignShare=0.05\r\nFailChannels=\r\n"
      "FailAfterSec=120\r\n\r\n"
      "[Parametric]\r\nIntervalMs=1000\r\nPressureBaseBar=40\r\nPressureSwingBar=20\r\nPressureCycleSec=180\r\n"
      "TemperatureBaseC=25\r\n\r\n"
      "[Sensor]\r\nThresholdDb=40\r\nPreampDb=40\r\nDaqFullScaleV=10\r\n\r\n"
      "[Mqtt]\r\nUrl=wss://broker.kivu.invalid/mqtt\r\nUser=\r\nPassword=\r\nSendWaves=1\r\nMaxWavesPerSec=5\r\n"
      "KeepAliveSec=20\r\n\r\n";
  EXPECT_EQ(ReadFileBytes(FIni), expected);
}

TEST_F(Settings, CommaLocaleWritesCommas) {
  TAESettings s;
  s.LoadFrom(FIni.string(), FExeFolder, ',');
  EXPECT_NE(ReadFileBytes(FIni).find("CrackShare=0,15\r\n"), std::string::npos);
  const TAESettings again = LoadText(ReadFileBytes(FIni), ',');
  EXPECT_EQ(again.CrackShare, 0.15);
}

TEST_F(Settings, ExistingFileIsNeverChanged) {
  const std::string text = "[Agent]\nChannels=4\n";
  const TAESettings s = LoadText(text);
  EXPECT_EQ(s.Channels, 4);
  EXPECT_EQ(s.SamplesPerHit, 4096);
  EXPECT_EQ(ReadFileBytes(FIni), text);
}

struct TValueCase {
  const char* Name;
  std::string Ini;
  std::function<void(const TAESettings&)> Check;
};

TEST_F(Settings, ValueConversionsAndFixUps) {
  const TValueCase cases[] = {
      {"hex $", "[Agent]\nAgentId=$1F\n", [](auto& s) { EXPECT_EQ(s.AgentId, 31); }},
      {"hex 0x", "[Agent]\nAgentId=0x1F\n", [](auto& s) { EXPECT_EQ(s.AgentId, 31); }},
      {"low 16 bits", "[Agent]\nAgentId=65538\n", [](auto& s) { EXPECT_EQ(s.AgentId, 2); }},
      {"bad int", "[Agent]\nAgentId=abc\n", [](auto& s) { EXPECT_EQ(s.AgentId, 1); }},
      {"negated hex below range", "[Agent]\nRetentionHours=-$FFFFFFFF\n[Network]\nUdpPort=-$FFFFF8A5\n",
       [](auto& s) {
         EXPECT_EQ(s.RetentionHours, 24);
         EXPECT_EQ(s.UdpPort, 47100);
       }},
      {"negated hex at range end", "[Agent]\nRetentionHours=-$80000000\n",
       [](auto& s) { EXPECT_EQ(s.RetentionHours, INT32_MIN); }},
      {"float", "[Agent]\nHitsPerSecPerChannel=2.5\n", [](auto& s) { EXPECT_EQ(s.HitsPerSecPerChannel, 2.5); }},
      {"bad float", "[Agent]\nHitsPerSecPerChannel=fast\n",
       [](auto& s) { EXPECT_EQ(s.HitsPerSecPerChannel, 5.0); }},
      {"float two signs", "[Agent]\nHitsPerSecPerChannel=+-8\n[Simulation]\nCrackShare=+-0.15\n",
       [](auto& s) {
         EXPECT_EQ(s.HitsPerSecPerChannel, 5.0);
         EXPECT_EQ(s.CrackShare, 0.15);
       }},
      {"rate 32 bits", "[Agent]\nSampleRateHz=-1\n", [](auto& s) { EXPECT_EQ(s.SampleRateHz, 0xFFFFFFFFu); }},
      {"send waves 0", "[Mqtt]\nSendWaves=0\n", [](auto& s) { EXPECT_FALSE(s.MqttSendWaves); }},
      {"send waves 2", "[Mqtt]\nSendWaves=2\n", [](auto& s) { EXPECT_TRUE(s.MqttSendWaves); }},
      {"send waves word", "[Mqtt]\nSendWaves=false\n", [](auto& s) { EXPECT_TRUE(s.MqttSendWaves); }},
      {"keepalive low", "[Mqtt]\nKeepAliveSec=1\n", [](auto& s) { EXPECT_EQ(s.MqttKeepAliveSec, 5); }},
      {"keepalive high", "[Mqtt]\nKeepAliveSec=3600\n", [](auto& s) { EXPECT_EQ(s.MqttKeepAliveSec, 600); }},
      {"pretrigger", "[Audio]\nPreTriggerSamples=4\nDeadTimeMs=-5\n",
       [](auto& s) {
         EXPECT_EQ(s.PreTriggerSamples, 16);
         EXPECT_EQ(s.DeadTimeMs, 0);
       }},
      {"audio mode", "[Agent]\nSource=  AUDIO \nChannels=8\nSamplesPerHit=100\n",
       [](auto& s) {
         EXPECT_TRUE(s.IsAudio());
         EXPECT_EQ(s.Channels, 1);
         EXPECT_EQ(s.SamplesPerHit, 1024);
       }},
      {"sim keeps", "[Agent]\nSource=Simulator\nChannels=8\nSamplesPerHit=100\n",
       [](auto& s) {
         EXPECT_FALSE(s.IsAudio());
         EXPECT_EQ(s.Channels, 8);
         EXPECT_EQ(s.SamplesPerHit, 100);
       }},
      {"fail channels", "[Simulation]\nFailChannels=3, 5;;7\n",
       [](auto& s) { EXPECT_EQ(s.FailChannels, (std::vector<std::int32_t>{3, 5, 7})); }},
      {"fail channels hex and dup", "[Simulation]\nFailChannels=$2 2 -1\n",
       [](auto& s) { EXPECT_EQ(s.FailChannels, (std::vector<std::int32_t>{2, 2, -1})); }},
      {"mqtt user id", "[Network]\nTransport= MQTT\n[Mqtt]\nUser=agent12\n",
       [](auto& s) {
         EXPECT_TRUE(s.IsMqtt());
         EXPECT_EQ(s.AgentId, 12);
       }},
      {"mqtt user Agent007", "[Network]\nTransport=mqtt\n[Mqtt]\nUser=Agent007\n",
       [](auto& s) { EXPECT_EQ(s.AgentId, 7); }},
      {"mqtt user agentX", "[Agent]\nAgentId=9\n[Network]\nTransport=mqtt\n[Mqtt]\nUser=agentX\n",
       [](auto& s) { EXPECT_EQ(s.AgentId, 9); }},
      {"mqtt user big", "[Network]\nTransport=mqtt\n[Mqtt]\nUser=agent65537\n",
       [](auto& s) { EXPECT_EQ(s.AgentId, 1); }},
      {"udp keeps id", "[Mqtt]\nUser=agent12\n", [](auto& s) { EXPECT_EQ(s.AgentId, 1); }},
      {"sign-in http cleared", "[Company]\nSignInLink=http://x/\n", [](auto& s) { EXPECT_EQ(s.SignInLink, ""); }},
      {"sign-in HTTPS kept", "[Company]\nSignInLink=HTTPS://x/\n",
       [](auto& s) { EXPECT_EQ(s.ConsoleLink(), "HTTPS://x/"); }},
      {"tenant", "[Company]\nId= Acme Corp. \nConsoleUrl=https://c/\n",
       [](auto& s) { EXPECT_EQ(s.ConsoleLink(), "https://c/?tenant=AcmeCorp"); }},
      {"tenant amp", "[Company]\nId=a_b-1\nConsoleUrl=https://c/?x=1\n",
       [](auto& s) { EXPECT_EQ(s.ConsoleLink(), "https://c/?x=1&tenant=a_b-1"); }},
      {"tenant dropped", "[Company]\nId=...\nConsoleUrl=https://c/\n",
       [](auto& s) { EXPECT_EQ(s.ConsoleLink(), "https://c/"); }},
  };
  for (const TValueCase& c : cases) {
    SCOPED_TRACE(c.Name);
    c.Check(LoadText(c.Ini));
  }
}

TEST_F(Settings, EmptyConsoleUrlGivesEmptyLink) {
  TAESettings s;
  s.ConsoleUrl = "";
  s.CompanyId = "acme";
  EXPECT_EQ(s.ConsoleLink(), "");
}

TEST_F(Settings, BadFailChannelsPieceRaisesAndWritesNothing) {
  std::filesystem::remove(FIni);
  TAESettings s;
  // A file that does not exist cannot carry the bad value, so write one and check the
  // error; the file stays as written.
  try {
    LoadText("[Simulation]\nFailChannels=3,x\n");
    FAIL() << "no error";
  } catch (const EAEConvertError& e) {
    EXPECT_STREQ(e.what(), "'x' is not a valid integer value");
  }
  EXPECT_EQ(ReadFileBytes(FIni), "[Simulation]\nFailChannels=3,x\n");
}

TEST_F(Settings, NegativeChannelsOrSamplesAreRefusedByName) {
  for (const char* key : {"Channels", "SamplesPerHit"}) {
    SCOPED_TRACE(key);
    try {
      LoadText(std::string("[Agent]\n") + key + "=-3\n");
      FAIL() << "no error";
    } catch (const EAEError& e) {
      EXPECT_NE(std::string(e.what()).find(std::string(key) + "=-3"), std::string::npos) << e.what();
    }
  }
}

TEST_F(Settings, UnwritableFolderRaisesFileError) {
  TAESettings s;
  const std::string ini = FDir.Str("no/such/folder/Velkarn.ini");
  EXPECT_THROW(s.LoadFrom(ini, FExeFolder, '.'), EAEFileError);
}

TEST_F(Settings, UnreadableFileRaisesFileError) {
  std::filesystem::create_directories(FIni);  // a folder where the file should be
  TAESettings s;
  EXPECT_THROW(s.LoadFrom(FIni.string(), FExeFolder, '.'), EAEFileError);
}

// One user name saved by four editors: the same name whatever the encoding, where the
// platform can tell it (a byte-order mark, or on Linux well-formed UTF-8).
TEST_F(Settings, UserNameReadsAlikeInEveryEncoding) {
  const std::string user = "Agent\xC3\xB8" "42\xE2\x82\xAC";  // Agentø42€
  const std::u16string user16 = u"Agent\u00F842\u20AC";
  std::string utf16le = "\xFF\xFE";
  for (const char16_t c : u"[Mqtt]\r\nUser=" + user16 + u"\r\n") {
    utf16le.push_back(static_cast<char>(c & 0xFF));
    utf16le.push_back(static_cast<char>(c >> 8));
  }
  const TUnmarkedIniUsers unmarked = UnmarkedIniUsers();
  const struct {
    const char* Name;
    std::string Bytes;
    std::string User;
  } cases[] = {
      {"UTF-8 with mark", "\xEF\xBB\xBF[Mqtt]\r\nUser=" + user + "\r\n", user},
      {"UTF-16 LE with mark", utf16le, user},
      {"UTF-8 without mark", "[Mqtt]\r\nUser=" + user + "\r\n", unmarked.FromUtf8},
      {"Windows-1252 without mark", "[Mqtt]\r\nUser=Agent\xF8" "42\x80\r\n", unmarked.FromWindows1252},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(LoadText(c.Bytes).MqttUser, c.User);
  }
}
