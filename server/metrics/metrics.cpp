#include "metrics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tally {
namespace metrics {

namespace {

// Prometheus reads floats in Go's syntax: the shortest text that reads back
// as the same double (so a bound reads "0.0025", not its binary expansion),
// and "+Inf" spelled as it expects.
std::string Number(double value) {
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[32];
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof(text), "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value) break;
    }
    return text;
}

// Help text escapes only backslash and newline.
std::string EscapeHelp(const std::string& help) {
    std::string out;
    for (const char c : help) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string EscapeLabelValue(const std::string& value) {
    std::string out;
    for (const char c : value) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

void LabelledCounter::Add(const std::string& value, int64_t amount) {
    Counter* counter = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::unique_ptr<Counter>& slot = m_values[value];
        if (!slot) slot = std::make_unique<Counter>();
        counter = slot.get();
    }
    counter->Add(amount);
}

int64_t LabelledCounter::Value(const std::string& value) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_values.find(value);
    return found == m_values.end() ? 0 : found->second->Value();
}

Histogram::Histogram(std::vector<double> bounds)
    : m_bounds(std::move(bounds)), m_buckets(new std::atomic<int64_t>[m_bounds.size()]) {
    for (size_t i = 0; i < m_bounds.size(); ++i) m_buckets[i] = 0;
}

void Histogram::ObserveSeconds(double seconds) {
    if (!(seconds >= 0)) seconds = 0;  // a clock step back, or NaN
    for (size_t i = 0; i < m_bounds.size(); ++i) {
        if (seconds <= m_bounds[i]) {
            m_buckets[i].fetch_add(1, std::memory_order_relaxed);
            break;
        }
    }
    m_sumMicros.fetch_add(static_cast<int64_t>(std::llround(seconds * 1e6)),
                          std::memory_order_relaxed);
    m_count.fetch_add(1, std::memory_order_relaxed);
}

Counter* Registry::AddCounter(const std::string& name, const std::string& help) {
    auto entry = std::make_unique<Entry>();
    entry->name = name;
    entry->help = help;
    entry->counter = std::make_unique<Counter>();
    Counter* counter = entry->counter.get();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.push_back(std::move(entry));
    return counter;
}

Gauge* Registry::AddGauge(const std::string& name, const std::string& help) {
    auto entry = std::make_unique<Entry>();
    entry->name = name;
    entry->help = help;
    entry->gauge = std::make_unique<Gauge>();
    Gauge* gauge = entry->gauge.get();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.push_back(std::move(entry));
    return gauge;
}

LabelledCounter* Registry::AddLabelledCounter(const std::string& name, const std::string& label,
                                              const std::string& help) {
    auto entry = std::make_unique<Entry>();
    entry->name = name;
    entry->help = help;
    entry->labelled = std::make_unique<LabelledCounter>(label);
    LabelledCounter* labelled = entry->labelled.get();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.push_back(std::move(entry));
    return labelled;
}

Histogram* Registry::AddHistogram(const std::string& name, const std::string& help,
                                  std::vector<double> bounds) {
    auto entry = std::make_unique<Entry>();
    entry->name = name;
    entry->help = help;
    entry->histogram = std::make_unique<Histogram>(std::move(bounds));
    Histogram* histogram = entry->histogram.get();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.push_back(std::move(entry));
    return histogram;
}

std::string Registry::Render() const {
    std::string out;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& entry : m_entries) {
        const std::string& name = entry->name;
        out += "# HELP " + name + " " + EscapeHelp(entry->help) + "\n";
        if (entry->counter) {
            out += "# TYPE " + name + " counter\n";
            out += name + " " + std::to_string(entry->counter->Value()) + "\n";
        } else if (entry->gauge) {
            out += "# TYPE " + name + " gauge\n";
            out += name + " " + std::to_string(entry->gauge->Value()) + "\n";
        } else if (entry->labelled) {
            out += "# TYPE " + name + " counter\n";
            const LabelledCounter& labelled = *entry->labelled;
            std::lock_guard<std::mutex> values(labelled.m_mutex);
            for (const auto& value : labelled.m_values) {
                out += name + "{" + labelled.m_label + "=\"" + EscapeLabelValue(value.first) +
                       "\"} " + std::to_string(value.second->Value()) + "\n";
            }
        } else if (entry->histogram) {
            out += "# TYPE " + name + " histogram\n";
            const Histogram& histogram = *entry->histogram;
            // The count is read first: observations landing meanwhile can
            // only make the buckets larger, and +Inf must not be below any.
            const int64_t count = histogram.Count();
            int64_t cumulative = 0;
            for (size_t i = 0; i < histogram.m_bounds.size(); ++i) {
                cumulative += histogram.m_buckets[i].load(std::memory_order_relaxed);
                out += name + "_bucket{le=\"" + Number(histogram.m_bounds[i]) + "\"} " +
                       std::to_string(cumulative) + "\n";
            }
            out +=
                name + "_bucket{le=\"+Inf\"} " + std::to_string(std::max(count, cumulative)) + "\n";
            out +=
                name + "_sum " +
                Number(static_cast<double>(histogram.m_sumMicros.load(std::memory_order_relaxed)) /
                       1e6) +
                "\n";
            out += name + "_count " + std::to_string(std::max(count, cumulative)) + "\n";
        }
    }
    return out;
}

}  // namespace metrics
}  // namespace tally
