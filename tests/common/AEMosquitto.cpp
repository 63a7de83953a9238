#include "AEMosquitto.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "AESocket.h"
#include "common/AEPollUntil.h"
#include "common/AETestListener.h"

namespace {

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

TAEMosquitto::TAEMosquitto(std::vector<std::pair<std::string, std::string>> users) : FUsers(std::move(users)) {
  std::random_device rd;
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  FUnixDir = "/tmp/velkarn_mosquitto_" + std::to_string(rd()) + "_" + std::to_string(stamp % 1000000007);
  std::filesystem::create_directories(LocalPathOfUnix(FUnixDir));
  FPort = TAEHeldPort::Loopback();  // held for the broker, across restarts too
  std::string passwd;
  for (std::size_t i = 0; i < FUsers.size(); ++i)
    passwd += "/usr/bin/mosquitto_passwd -b " + std::string(i == 0 ? "-c " : "") + Quote(FUnixDir + "/passwd") +
              " " + Quote(FUsers[i].first) + " " + Quote(FUsers[i].second) + " || exit 1\n";
  if (Shell(passwd) != 0) throw std::runtime_error("mosquitto_passwd failed (is mosquitto installed?)");
}

TAEMosquitto::~TAEMosquitto() {
  try {
    Stop();
  } catch (const std::exception&) {
    // The broker's own time limit ends it at the latest.
  }
  std::error_code ec;
  std::filesystem::remove_all(LocalPathOfUnix(FUnixDir), ec);  // best effort
}

std::string TAEMosquitto::Local(const std::string& name) const { return LocalPathOfUnix(FUnixDir + "/" + name); }

std::string TAEMosquitto::Log() const { return ReadAll(Local("mosquitto.log")); }

int TAEMosquitto::Shell(const std::string& body, int timeoutMs) {
  const std::string name = "script" + std::to_string(++FScripts) + ".sh";
  const std::string unixScript = FUnixDir + "/" + name;
  const std::string unixRc = unixScript + ".rc";
  {
    std::ofstream s(Local(name), std::ios::binary);
    s << "(\n" << body << "\n)\necho $? > " << Quote(unixRc + ".tmp") << " && mv " << Quote(unixRc + ".tmp") << " "
      << Quote(unixRc) << "\n";
  }
  StartUnixShell(unixScript);
  const std::string localRc = LocalPathOfUnix(unixRc);
  if (!PollUntil([&] { return std::filesystem::exists(localRc); }, std::chrono::milliseconds(timeoutMs),
                 std::chrono::milliseconds(20)))
    throw std::runtime_error("shell script did not finish: " + body);
  return std::stoi(ReadAll(localRc));
}

void TAEMosquitto::Start() {
  if (FRunning) return;
  {
    std::ofstream conf(Local("mosquitto.conf"), std::ios::binary);
    conf << "listener " << Port() << " 127.0.0.1\n"
         << "allow_anonymous false\n"
         << "password_file " << FUnixDir << "/passwd\n"
         << "persistence false\n"
         << "user root\n"
         << "log_dest stdout\n"
         << "log_type error\nlog_type warning\nlog_type notice\nlog_type information\n"
         << FExtraConfig << "\n";
  }
  // The broker's own limit ends it even when a crashed test never stops it.
  const std::string start = "cd " + Quote(FUnixDir) + " || exit 1\n" +
                            "nohup /usr/bin/timeout -k 5 1800 /usr/sbin/mosquitto -c " +
                            Quote(FUnixDir + "/mosquitto.conf") + " >> mosquitto.log 2>&1 < /dev/null &\n" +
                            "echo $! > pid\n";
  if (Shell(start) != 0) throw std::runtime_error("could not start mosquitto");
  FRunning = true;
  const bool up = PollUntil(
      [&] {
        try {
          TAESocket probe = TAESocket::Connect(Host(), Port(), 500);
          return true;
        } catch (const std::exception&) {
          return false;
        }
      },
      std::chrono::seconds(10), std::chrono::milliseconds(20));
  if (!up) {
    Stop();
    throw std::runtime_error("mosquitto did not accept connections on port " + std::to_string(Port()) + ":\n" + Log());
  }
}

void TAEMosquitto::Stop() {
  if (!FRunning) return;
  FRunning = false;
  const std::string stop = "cd " + Quote(FUnixDir) + " || exit 1\n" +
                           "p=$(cat pid)\n"
                           "kill $p 2>/dev/null\n"
                           "i=0\n"
                           "while kill -0 $p 2>/dev/null && [ $i -lt 100 ]; do sleep 0.05; i=$((i+1)); done\n"
                           "kill -9 $p 2>/dev/null\n"
                           "true\n";
  Shell(stop);
  // The port is free once nothing answers there any more.
  PollUntil(
      [&] {
        try {
          TAESocket probe = TAESocket::Connect(Host(), Port(), 500);
          return false;
        } catch (const std::exception&) {
          return true;
        }
      },
      std::chrono::seconds(5), std::chrono::milliseconds(20));
}
