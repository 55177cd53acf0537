#pragma once

// A registry of metrics in the Prometheus text format, version 0.0.4: counters, gauges
// and histograms with fixed buckets, each a family of series told apart by the values of
// its labels.
//
//   any thread ── family.at({label values}): a short lock; the first use makes the series
//              └─ series.increment / set / observe: atomics, no lock
//   a scrape ──── render(): the families in the order declared, each with # HELP and
//                 # TYPE, its series ordered by their label values
//
// The families are declared before the registry is shared, and every series lives as
// long as the registry: a reference to one may be kept and used from any thread. A
// sampled family has one series, whose value is read when it is rendered (what the
// process uses, from /proc).

#include <QByteArray>
#include <QByteArrayList>
#include <QStringList>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

class Metrics {
public:
    class Counter {
    public:
        void increment(quint64 by = 1) { m_value.fetch_add(by, std::memory_order_relaxed); }
        void render(QByteArray &out, const QByteArray &name, const QByteArray &labels) const;

    private:
        std::atomic<quint64> m_value = 0;
    };

    class Gauge {
    public:
        void set(qint64 value) { m_value.store(value, std::memory_order_relaxed); }
        void add(qint64 by) { m_value.fetch_add(by, std::memory_order_relaxed); }
        void render(QByteArray &out, const QByteArray &name, const QByteArray &labels) const;

    private:
        std::atomic<qint64> m_value = 0;
    };

    // Counts each value in the first bucket whose upper bound holds it (the last bucket,
    // +Inf, holds the rest) and adds it to the sum. Rendered cumulatively, as the format
    // wants; the count is the +Inf bucket's, so the two always agree.
    class Histogram {
    public:
        // `bounds`: the upper bounds, ascending.
        explicit Histogram(std::shared_ptr<const std::vector<double>> bounds);
        void observe(double value);
        void render(QByteArray &out, const QByteArray &name, const QByteArray &labels) const;

    private:
        std::shared_ptr<const std::vector<double>> m_bounds;
        // One count per bucket, not cumulative; the last one is +Inf's.
        std::unique_ptr<std::atomic<quint64>[]> m_counts;
        std::atomic<double> m_sum = 0;
    };

    class FamilyBase {
    public:
        FamilyBase(QByteArray name, QByteArray help, QByteArray type, QByteArrayList labels);
        virtual ~FamilyBase() = default;
        FamilyBase(const FamilyBase &) = delete;
        FamilyBase &operator=(const FamilyBase &) = delete;
        void render(QByteArray &out) const;

    protected:
        // `label values` as the format writes them inside the braces, escaped.
        QByteArray labelsOf(const QStringList &values) const;
        virtual void renderSeries(QByteArray &out) const = 0;

        const QByteArray m_name;
        const QByteArray m_help;
        const QByteArray m_type;
        const QByteArrayList m_labels;
        mutable std::mutex m_mutex;
    };

    template<typename Series> class Family : public FamilyBase {
    public:
        Family(QByteArray name, QByteArray help, QByteArray type, QByteArrayList labels,
               std::function<std::unique_ptr<Series>()> make)
            : FamilyBase(std::move(name), std::move(help), std::move(type), std::move(labels))
            , m_make(std::move(make))
        {
        }

        // The series of these label values, one for each of the family's labels in their
        // order; made (at zero) on first use.
        Series &at(const QStringList &values = {})
        {
            Q_ASSERT(values.size() == m_labels.size());
            std::lock_guard lock(m_mutex);
            std::unique_ptr<Series> &series = m_series[values];
            if (!series)
                series = m_make();
            return *series;
        }

    private:
        void renderSeries(QByteArray &out) const override
        {
            for (const auto &[values, series] : m_series)
                series->render(out, m_name, labelsOf(values));
        }

        std::function<std::unique_ptr<Series>()> m_make;
        std::map<QStringList, std::unique_ptr<Series>> m_series;
    };

    Metrics() = default;
    Metrics(const Metrics &) = delete;
    Metrics &operator=(const Metrics &) = delete;

    // Declares a family. `name` as the format takes it (a counter's ends in _total), `help`
    // one line of text, `labels` the names of its labels in order.
    Family<Counter> &counter(const QByteArray &name, const QByteArray &help,
                             const QByteArrayList &labels = {});
    Family<Gauge> &gauge(const QByteArray &name, const QByteArray &help,
                         const QByteArrayList &labels = {});
    Family<Histogram> &histogram(const QByteArray &name, const QByteArray &help,
                                 std::vector<double> bounds, const QByteArrayList &labels = {});
    // `type` "counter" or "gauge"; `value` is called at each render, on the rendering thread.
    void sampled(const QByteArray &name, const QByteArray &help, const QByteArray &type,
                 std::function<double()> value);

    QByteArray render() const;

private:
    std::vector<std::unique_ptr<FamilyBase>> m_families;
};
