// What a subscriber got from the real node: its hits in order, and across a broker outage
// against the hit files the node wrote meanwhile. Both hold at any pace of the machine.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "AEMqttWatch.h"
#include "AEProtocol.h"
#include "VelkarnProgramKit.h"

// A record message's payload as its record; a payload of another size fails the test.
template <typename T>
T As(const TAEBytes& payload) {
  T r{};
  EXPECT_EQ(payload.size(), sizeof r);
  std::memcpy(&r, payload.data(), std::min(sizeof r, payload.size()));
  return r;
}

// Each hit the node wrote to its hit files under dataRoot from lost until restart (two
// FileTimes) must be among the hits on hitTopic that got holds ahead of "online". Returns
// how many such hits there were.
inline std::size_t ExpectOutageHitsAheadOfOnline(const std::vector<TRawPublish>& got, const std::string& hitTopic,
                                                 const std::string& dataRoot, std::int64_t lost, std::int64_t restart) {
  std::set<std::pair<int, std::uint32_t>> queued;  // channel, seq
  for (const TRawPublish& m : got) {
    if (TMqttWatch::IsStatus(m, "online")) break;
    if (m.Topic == hitTopic) {
      const auto h = As<TAEHitRecord>(m.Payload);
      queued.emplace(h.Channel, h.Seq);
    }
  }
  std::size_t outageHits = 0;
  for (const TAEHitRecord& h : HitsWrittenSince(dataRoot, lost)) {
    if (h.FileTime >= restart) continue;
    ++outageHits;
    EXPECT_TRUE(queued.count({h.Channel, h.Seq}))
        << "channel " << h.Channel << " hit " << h.Seq << ", made while the broker was away, not delivered ahead of \"online\"";
  }
  return outageHits;
}

// Every hit on hitTopic follows the one before on its channel: in order, none lost.
// Returns how many hits there were; none at all fails.
inline std::size_t ExpectConsecutiveHits(const std::vector<TRawPublish>& got, const std::string& hitTopic) {
  std::map<int, std::uint32_t> last;  // channel, seq
  std::size_t n = 0;
  for (const TRawPublish& m : got) {
    if (m.Topic != hitTopic) continue;
    ++n;
    const auto h = As<TAEHitRecord>(m.Payload);
    const auto it = last.find(h.Channel);
    if (it != last.end() && h.Seq != it->second + 1) {
      ADD_FAILURE() << "channel " << h.Channel << ": hit " << h.Seq << " after " << it->second;
      return n;  // one gap is enough; every later hit would repeat it
    }
    last[h.Channel] = h.Seq;
  }
  EXPECT_GT(n, 0u) << "no hits at all";
  return n;
}
