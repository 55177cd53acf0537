#include "service/link/linktexts.h"

using namespace Qt::StringLiterals;

namespace {

// What the SMSC wrote, for one log line: C0 and C1 controls, DEL and the backslash
// shown as \xHH.
QString printable(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0) || u == u'\\')
            out += u"\\x"_s + QString::number(u, 16).rightJustified(2, u'0');
        else
            out += c;
    }
    return out;
}

} // namespace

namespace LinkTexts {

QString missingSetting(const QString &section, const QString &key)
{
    return u"[%1] needs %2"_s.arg(section, key);
}

QString badSetting(const QString &section, const QString &key, const QString &allowed)
{
    return u"[%1] %2 takes %3"_s.arg(section, key, allowed);
}

QString passwordUnreadable(const QString &section, const QString &file, const QString &why)
{
    return u"[%1] cannot read the password file %2: %3"_s.arg(section, file, why);
}

QString passwordExposed(const QString &section, const QString &file)
{
    return u"[%1] the password file %2 may be read by others: make it mode 0600"_s.arg(section,
                                                                                       file);
}

QString passwordTooLong(const QString &section, int most)
{
    return u"[%1] the password takes at most %2 characters"_s.arg(section).arg(most);
}

QString duplicateRoute(const QString &prefix)
{
    return u"the route %1 is given to more than one link"_s.arg(prefix);
}

QString connecting(const QString &link, const QString &host, int port)
{
    return u"link %1: connecting to %2:%3"_s.arg(link, host).arg(port);
}

QString bound(const QString &link, const QString &mode)
{
    return u"link %1: bound as %2"_s.arg(link, mode);
}

QString bindRefused(const QString &link, quint32 status, int retryInMs)
{
    return u"link %1: bind refused (%2), trying again in %3 s"_s.arg(link, smscStatus(status))
        .arg(retryInMs / 1000.0);
}

QString linkLost(const QString &link, const QString &why, int retryInMs)
{
    return u"link %1: %2, connecting again in %3 s"_s.arg(link, why).arg(retryInMs / 1000.0);
}

QString storeFailed(const QString &link, const QString &why)
{
    return u"link %1: the store failed: %2"_s.arg(link, why);
}

QString doubtfulId(const QString &link, qint64 message, int part, const QString &smscId,
                   qint64 heldBy)
{
    if (heldBy == 0)
        return u"link %1: the SMSC took part %2 of message %3 without a message id; its "
               u"receipt cannot be matched (see unmatched)"_s.arg(link)
                   .arg(part)
                   .arg(message);
    return u"link %1: the SMSC took part %2 of message %3 with the id %4, which it gave "
           u"message %5 too (see unmatched)"_s.arg(link)
               .arg(part)
               .arg(message)
               .arg(printable(smscId))
               .arg(heldBy);
}

QString cannotOpenStore(const QString &why)
{
    return u"links: cannot open the store: %1"_s.arg(why);
}

QString peerClosed()
{
    return u"the SMSC closed the connection"_s;
}

QString peerUnbound()
{
    return u"the SMSC unbound"_s;
}

QString noAnswer()
{
    return u"the SMSC did not answer in time"_s;
}

QString malformedPdu()
{
    return u"the SMSC sent what is not SMPP"_s;
}

QString peerNotReading()
{
    return u"the SMSC took none of our answers in time"_s;
}

QString tlsFailed(const QString &why)
{
    return u"TLS failed: %1"_s.arg(why);
}

QString socketError(const QString &why)
{
    return u"connection failed: %1"_s.arg(why);
}

QString smscStatus(quint32 status)
{
    return u"SMSC status 0x%1"_s.arg(status, 8, 16, QLatin1Char('0'));
}

QString throttled()
{
    return u"throttled by the SMSC"_s;
}

QString linkDown()
{
    return u"the link went down"_s;
}

QString tooLongForSmpp()
{
    return u"a part does not fit a submit_sm"_s;
}

QString standingIn(const QString &link, const QStringList &links)
{
    if (links.isEmpty())
        return u"link %1: takes its own messages only"_s.arg(link);
    return u"link %1: takes the messages of %2 too, down too long"_s.arg(link, links.join(u", "_s));
}

QString receiptIdsConverted(const QString &link, const QString &form)
{
    return u"link %1: its receipts find their messages only with their ids converted (%2); "
           u"receipt_ids in its section may pin the conversion"_s.arg(link, form);
}

} // namespace LinkTexts
