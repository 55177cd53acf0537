#include "remotetexts.h"

using namespace Qt::StringLiterals;

namespace RemoteTexts {

namespace {
QString seconds(int ms)
{
    return QString::number(double(ms) / 1000.0, 'g', 3);
}
} // namespace

QString noSettings(const QString &file)
{
    return u"the remote gateway is not set up: %1 names no service url"_s.arg(file);
}

QString badUrl(const QString &url)
{
    return u"the remote gateway's service url \"%1\" is not an http or https URL"_s.arg(url);
}

QString plainHttpOffLoopback(const QString &host)
{
    return u"the remote gateway will not send its token in clear to %1: use https"_s.arg(host);
}

QString unreadableToken(const QString &file, const QString &why)
{
    return u"cannot read the remote gateway's token file %1: %2"_s.arg(file, why);
}

QString tokenFileOpen(const QString &file)
{
    return u"the remote gateway's token file %1 may be read by other users; make it 0600"_s.arg(
        file);
}

QString unreadableCa(const QString &file)
{
    return u"cannot read certificates from the remote gateway's CA file %1"_s.arg(file);
}

QString badTimeout(const QString &key)
{
    return u"the remote gateway's setting %1 must be a number of milliseconds from 1 to 600000"_s
        .arg(key);
}

QString busy()
{
    return u"another call to the gateway service is still running"_s;
}

QString closedDuringCall()
{
    return u"the gateway was closed during the call"_s;
}

QString connectTimeout(const QString &url, int ms)
{
    return u"no connection to the gateway service at %1 within %2 s"_s.arg(url, seconds(ms));
}

QString callTimeout(const QString &url, int ms)
{
    return u"the gateway service at %1 did not answer within %2 s"_s.arg(url, seconds(ms));
}

QString refused(const QString &url)
{
    return u"the gateway service at %1 refused the connection (is it running?)"_s.arg(url);
}

QString tlsFailed(const QString &url, const QString &why)
{
    return u"TLS with the gateway service at %1 failed: %2"_s.arg(url, why);
}

QString transportFailed(const QString &url, const QString &why)
{
    return u"the call to the gateway service at %1 failed: %2"_s.arg(url, why);
}

QString httpFailed(const QString &url, int status, const QString &message)
{
    return u"the gateway service at %1 answered %2: %3"_s.arg(url).arg(status).arg(message);
}

QString malformedAnswer(const QString &url)
{
    return u"the gateway service at %1 sent an answer this component cannot read"_s.arg(url);
}

QString answerTooLarge(const QString &url)
{
    return u"the gateway service at %1 sent an answer larger than this component accepts"_s.arg(
        url);
}

QString answerInChunks(const QString &url)
{
    return u"the gateway service at %1 sent an answer in chunks, without its length; this "
           u"component reads only whole answers"_s.arg(url);
}

} // namespace RemoteTexts
