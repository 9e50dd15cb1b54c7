// A small metrics registry rendered in the Prometheus text exposition format
// (version 0.0.4). Metrics are registered once at start-up and then updated
// from any thread without a lock: counters, gauges and histogram buckets are
// atomics, and a labelled counter locks only to find or add its label value.
#ifndef TALLYSERVICE_SERVER_METRICS_METRICS_H_
#define TALLYSERVICE_SERVER_METRICS_METRICS_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tally {
namespace metrics {

class Counter {
  public:
    void Add(int64_t amount = 1) { m_value.fetch_add(amount, std::memory_order_relaxed); }
    int64_t Value() const { return m_value.load(std::memory_order_relaxed); }

  private:
    std::atomic<int64_t> m_value{0};
};

class Gauge {
  public:
    void Add(int64_t amount) { m_value.fetch_add(amount, std::memory_order_relaxed); }
    void Set(int64_t value) { m_value.store(value, std::memory_order_relaxed); }
    int64_t Value() const { return m_value.load(std::memory_order_relaxed); }

  private:
    std::atomic<int64_t> m_value{0};
};

// A counter per value of one label, e.g. requests by status.
class LabelledCounter {
  public:
    explicit LabelledCounter(std::string label) : m_label(std::move(label)) {}
    void Add(const std::string& value, int64_t amount = 1);
    int64_t Value(const std::string& value) const;

  private:
    friend class Registry;
    const std::string m_label;
    mutable std::mutex m_mutex;
    // Counters never move once made, so one found is updated outside the lock.
    std::map<std::string, std::unique_ptr<Counter>> m_values;
};

// Observations in fixed buckets (upper bounds in seconds, ascending); the
// sum is kept in microseconds so it stays an atomic integer.
class Histogram {
  public:
    explicit Histogram(std::vector<double> bounds);
    void ObserveSeconds(double seconds);
    int64_t Count() const { return m_count.load(std::memory_order_relaxed); }

  private:
    friend class Registry;
    const std::vector<double> m_bounds;
    std::unique_ptr<std::atomic<int64_t>[]> m_buckets;  // not cumulative; one per bound
    std::atomic<int64_t> m_count{0};
    std::atomic<int64_t> m_sumMicros{0};
};

class Registry {
  public:
    // Each answers a metric that lives as long as the registry. Names are
    // the caller's to keep unique and valid.
    Counter* AddCounter(const std::string& name, const std::string& help);
    Gauge* AddGauge(const std::string& name, const std::string& help);
    LabelledCounter* AddLabelledCounter(const std::string& name, const std::string& label,
                                        const std::string& help);
    Histogram* AddHistogram(const std::string& name, const std::string& help,
                            std::vector<double> bounds);

    // The text exposition of every metric, in the order registered.
    std::string Render() const;

  private:
    struct Entry {
        std::string name;
        std::string help;
        std::unique_ptr<Counter> counter;
        std::unique_ptr<Gauge> gauge;
        std::unique_ptr<LabelledCounter> labelled;
        std::unique_ptr<Histogram> histogram;
    };
    mutable std::mutex m_mutex;
    std::vector<std::unique_ptr<Entry>> m_entries;
};

// Escapes a label value as the exposition format wants: \\, \" and \n.
std::string EscapeLabelValue(const std::string& value);

}  // namespace metrics
}  // namespace tally

#endif  // TALLYSERVICE_SERVER_METRICS_METRICS_H_
