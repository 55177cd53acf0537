#include "service/smppserversettings.h"

#include "service/link/smpppdu.h"
#include "service/servicetexts.h"

using namespace Qt::StringLiterals;

namespace {

const QString Listen = u"listen"_s;
const QString Port = u"port"_s;
const QString Tls = u"tls"_s;
const QString MaxBinds = u"max_binds_per_account"_s;
const QString Window = u"window"_s;
const QString EnquireLink = u"enquire_link_s"_s;
const QString ResponseTimeout = u"response_timeout_s"_s;
const QString MaxPdu = u"max_pdu"_s;
const QString FailedBindDelay = u"failed_bind_delay_ms"_s;
const QString ReceiptsKept = u"receipts_kept_s"_s;

} // namespace

const QStringList &smppServerKeys()
{
    static const QStringList keys { Listen,          Port,   Tls,
                                    MaxBinds,        Window, EnquireLink,
                                    ResponseTimeout, MaxPdu, FailedBindDelay,
                                    ReceiptsKept };
    return keys;
}

SmppServerRead readSmppServerSettings(const QSettings &file)
{
    if (!file.childGroups().contains(SmppServerSection))
        return {};
    SmppServerSettings settings;
    const auto named = [](const QString &key) -> QString { return SmppServerSection + u'/' + key; };
    const auto value
        = [&](const QString &key) { return file.value(named(key)).toString().trimmed(); };
    QString error;
    const auto whole = [&](const QString &key, int least, int most, auto &field) {
        if (!error.isEmpty() || !file.contains(named(key)))
            return;
        bool ok = false;
        const int read = value(key).toInt(&ok);
        if (!ok || read < least || read > most)
            error = ServiceTexts::takes(named(key), ServiceTexts::range(least, most));
        else
            field = decltype(field)(read);
    };
    if (file.contains(named(Listen))) {
        settings.listen = QHostAddress(value(Listen));
        if (settings.listen.isNull())
            return { std::nullopt,
                     ServiceTexts::takes(named(Listen), ServiceTexts::anIpAddress()) };
    }
    int port = settings.port;
    whole(Port, 0, 65535, port);
    settings.port = quint16(port);
    if (file.contains(named(Tls))) {
        const QString tls = value(Tls);
        if (tls != u"on"_s && tls != u"off"_s)
            return { std::nullopt, ServiceTexts::takes(named(Tls), u"on or off"_s) };
        settings.tls = tls == u"on"_s;
    }
    whole(MaxBinds, 1, 1000, settings.maxBindsPerAccount);
    whole(Window, 1, 10'000, settings.window);
    int enquire = settings.enquireLinkMs / 1000;
    whole(EnquireLink, 1, 86'400, enquire);
    settings.enquireLinkMs = enquire * 1000;
    int timeout = settings.responseTimeoutMs / 1000;
    whole(ResponseTimeout, 1, 3'600, timeout);
    settings.responseTimeoutMs = timeout * 1000;
    int maxPdu = int(settings.maxPdu);
    whole(MaxPdu, 256, int(Smpp::MaxPduLength), maxPdu);
    settings.maxPdu = quint32(maxPdu);
    whole(FailedBindDelay, 0, 60'000, settings.failedBindDelayMs);
    whole(ReceiptsKept, 1, 30 * 86'400, settings.receiptsKeptS);
    if (!error.isEmpty())
        return { std::nullopt, error };
    return { settings, QString() };
}
