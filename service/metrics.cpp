#include "service/metrics.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace {

// A sample value: the shortest text that reads back as the same double.
QByteArray number(double value, std::chars_format format = std::chars_format::general)
{
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    char text[64];
    const auto written = std::to_chars(text, text + sizeof text, value, format);
    return QByteArray(text, written.ptr - text);
}

// A label value inside its quotes: backslash, double quote and line feed escaped.
QByteArray escapedLabel(const QString &value)
{
    QByteArray out;
    for (const char c : value.toUtf8()) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

// A HELP text: backslash and line feed escaped.
QByteArray escapedHelp(const QByteArray &help)
{
    QByteArray out = help;
    return out.replace('\\', "\\\\").replace('\n', "\\n");
}

void sample(QByteArray &out, const QByteArray &name, const QByteArray &labels,
            const QByteArray &value)
{
    out += name;
    if (!labels.isEmpty())
        out += '{' + labels + '}';
    out += ' ' + value + '\n';
}

} // namespace

void Metrics::Counter::render(QByteArray &out, const QByteArray &name,
                              const QByteArray &labels) const
{
    sample(out, name, labels, QByteArray::number(m_value.load(std::memory_order_relaxed)));
}

void Metrics::Gauge::render(QByteArray &out, const QByteArray &name, const QByteArray &labels) const
{
    sample(out, name, labels, QByteArray::number(m_value.load(std::memory_order_relaxed)));
}

Metrics::Histogram::Histogram(std::shared_ptr<const std::vector<double>> bounds)
    : m_bounds(std::move(bounds))
    , m_counts(std::make_unique<std::atomic<quint64>[]>(m_bounds->size() + 1))
{
}

void Metrics::Histogram::observe(double value)
{
    const auto bucket = std::lower_bound(m_bounds->cbegin(), m_bounds->cend(), value);
    m_counts[size_t(bucket - m_bounds->cbegin())].fetch_add(1, std::memory_order_relaxed);
    m_sum.fetch_add(value, std::memory_order_relaxed);
}

void Metrics::Histogram::render(QByteArray &out, const QByteArray &name,
                                const QByteArray &labels) const
{
    const QByteArray before = labels.isEmpty() ? QByteArray() : labels + ',';
    quint64 cumulative = 0;
    for (size_t i = 0; i <= m_bounds->size(); ++i) {
        cumulative += m_counts[i].load(std::memory_order_relaxed);
        const QByteArray bound = i < m_bounds->size()
            ? number(m_bounds->at(i), std::chars_format::fixed)
            : QByteArray("+Inf");
        sample(out, name + "_bucket", before + "le=\"" + bound + '"',
               QByteArray::number(cumulative));
    }
    sample(out, name + "_sum", labels, number(m_sum.load(std::memory_order_relaxed)));
    sample(out, name + "_count", labels, QByteArray::number(cumulative));
}

Metrics::FamilyBase::FamilyBase(QByteArray name, QByteArray help, QByteArray type,
                                QByteArrayList labels)
    : m_name(std::move(name))
    , m_help(std::move(help))
    , m_type(std::move(type))
    , m_labels(std::move(labels))
{
}

QByteArray Metrics::FamilyBase::labelsOf(const QStringList &values) const
{
    QByteArrayList pairs;
    for (qsizetype i = 0; i < m_labels.size(); ++i)
        pairs.append(m_labels.at(i) + "=\"" + escapedLabel(values.value(i)) + '"');
    return pairs.join(',');
}

void Metrics::FamilyBase::render(QByteArray &out) const
{
    out += "# HELP " + m_name + ' ' + escapedHelp(m_help) + '\n';
    out += "# TYPE " + m_name + ' ' + m_type + '\n';
    std::lock_guard lock(m_mutex);
    renderSeries(out);
}

Metrics::Family<Metrics::Counter> &Metrics::counter(const QByteArray &name, const QByteArray &help,
                                                    const QByteArrayList &labels)
{
    auto family = std::make_unique<Family<Counter>>(name, help, "counter", labels,
                                                    [] { return std::make_unique<Counter>(); });
    Family<Counter> &declared = *family;
    m_families.push_back(std::move(family));
    return declared;
}

Metrics::Family<Metrics::Gauge> &Metrics::gauge(const QByteArray &name, const QByteArray &help,
                                                const QByteArrayList &labels)
{
    auto family = std::make_unique<Family<Gauge>>(name, help, "gauge", labels,
                                                  [] { return std::make_unique<Gauge>(); });
    Family<Gauge> &declared = *family;
    m_families.push_back(std::move(family));
    return declared;
}

Metrics::Family<Metrics::Histogram> &Metrics::histogram(const QByteArray &name,
                                                        const QByteArray &help,
                                                        std::vector<double> bounds,
                                                        const QByteArrayList &labels)
{
    auto shared = std::make_shared<const std::vector<double>>(std::move(bounds));
    auto family = std::make_unique<Family<Histogram>>(
        name, help, "histogram", labels, [shared] { return std::make_unique<Histogram>(shared); });
    Family<Histogram> &declared = *family;
    m_families.push_back(std::move(family));
    return declared;
}

namespace {

class Sampled : public Metrics::FamilyBase {
public:
    Sampled(QByteArray name, QByteArray help, QByteArray type, std::function<double()> value)
        : FamilyBase(std::move(name), std::move(help), std::move(type), {})
        , m_value(std::move(value))
    {
    }

private:
    void renderSeries(QByteArray &out) const override
    {
        sample(out, m_name, {}, number(m_value()));
    }

    std::function<double()> m_value;
};

} // namespace

void Metrics::sampled(const QByteArray &name, const QByteArray &help, const QByteArray &type,
                      std::function<double()> value)
{
    m_families.push_back(std::make_unique<Sampled>(name, help, type, std::move(value)));
}

QByteArray Metrics::render() const
{
    QByteArray out;
    for (const auto &family : m_families)
        family->render(out);
    return out;
}
