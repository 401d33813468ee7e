// The figures of one host over the rounds: kept in whole microseconds and exact integer sums, so that
// the average and the deviation carry no rounding of their own until they are shown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

inline constexpr size_t kRecentReadings = 20;

class HostStats {
 public:
  // Without keepEveryReading only the recent ones are held, so that a watch of days stays small.
  explicit HostStats(bool keepEveryReading = true);

  // One round's reading: the round-trip time in microseconds, or nothing when no answer came.
  void Add(std::optional<int64_t> us);

  int64_t Sent() const { return m_sent; }
  int64_t Received() const { return m_received; }
  double Loss() const;  // 0 to 1; 0 before any round
  std::optional<int64_t> LastUs() const;  // the latest round's reading, nothing when it was lost
  std::optional<int64_t> MinUs() const;
  std::optional<int64_t> MaxUs() const;
  std::optional<double> AvgUs() const;
  // The population standard deviation of the answers: the spread of what was seen, 0 for one answer.
  std::optional<double> StddevUs() const;

  const std::vector<std::optional<int64_t>>& Readings() const { return m_readings; }
  const std::deque<std::optional<int64_t>>& Recent() const { return m_recent; }

 private:
  __extension__ using Wide = __int128;

  bool m_keepEveryReading;
  int64_t m_sent = 0;
  int64_t m_received = 0;
  int64_t m_min = 0;
  int64_t m_max = 0;
  Wide m_sum = 0;
  Wide m_sumOfSquares = 0;
  std::vector<std::optional<int64_t>> m_readings;
  std::deque<std::optional<int64_t>> m_recent;
};
