#include "cli/stats.h"

#include <algorithm>
#include <cmath>

HostStats::HostStats(bool keepEveryReading) : m_keepEveryReading(keepEveryReading) {}

void HostStats::Add(std::optional<int64_t> us) {
  ++m_sent;
  if (us) {
    m_min = m_received == 0 ? *us : std::min(m_min, *us);
    m_max = m_received == 0 ? *us : std::max(m_max, *us);
    ++m_received;
    m_sum += *us;
    m_sumOfSquares += static_cast<Wide>(*us) * *us;
  }
  if (m_keepEveryReading) {
    m_readings.push_back(us);
  }
  m_recent.push_back(us);
  if (m_recent.size() > kRecentReadings) {
    m_recent.pop_front();
  }
}

double HostStats::Loss() const {
  return m_sent == 0 ? 0.0 : static_cast<double>(m_sent - m_received) / static_cast<double>(m_sent);
}

std::optional<int64_t> HostStats::LastUs() const {
  return m_recent.empty() ? std::nullopt : m_recent.back();
}

std::optional<int64_t> HostStats::MinUs() const {
  return m_received == 0 ? std::nullopt : std::optional<int64_t>(m_min);
}

std::optional<int64_t> HostStats::MaxUs() const {
  return m_received == 0 ? std::nullopt : std::optional<int64_t>(m_max);
}

std::optional<double> HostStats::AvgUs() const {
  if (m_received == 0) {
    return std::nullopt;
  }
  return static_cast<double>(m_sum) / static_cast<double>(m_received);
}

std::optional<double> HostStats::StddevUs() const {
  if (m_received == 0) {
    return std::nullopt;
  }
  // n·Σx² − (Σx)² is n² times the variance and exact in integers; the one rounding is the square root's.
  const Wide n = m_received;
  const Wide scaled = n * m_sumOfSquares - m_sum * m_sum;
  return std::sqrt(static_cast<double>(scaled)) / static_cast<double>(m_received);
}
