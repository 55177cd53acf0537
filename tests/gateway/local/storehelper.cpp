// A second process on a store, for the concurrency and crash tests.
//
//   quillet_store_helper race STORE ACCOUNT CARD PASSWORD      (STORE: a file or a URL)
//       opens the store, prints "ready", waits for a line on standard input, then
//       recharges ACCOUNT with the card and prints the outcome (-1 or 0).
//   quillet_store_helper send-race STORE ACCOUNT COUNT
//       the same with COUNT sends of a one-segment text to two recipients; prints how
//       many were accepted.
//   quillet_store_helper send-loop STORE ACCOUNT
//       opens the store, prints "ready", then sends messages until it is killed.
//
// Exit 0 when every call succeeded; 1 with the Status description on a failure.

#include "gateway/local/localgateway.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <cstdio>

using namespace Qt::StringLiterals;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    QTextStream out(stdout);
    QTextStream err(stderr);
    if (args.size() < 4)
        return 2;
    const QString &mode = args.at(1);

    LocalGateway::Options options;
    options.hashCost = PasswordHasher::fastest();
    std::unique_ptr<LocalGateway> gateway;
    StoreLocation location;
    Status status = StoreLocation::parse(args.at(2), location);
    if (status.isOk())
        status = LocalGateway::open(location, gateway, options);
    if (status.failed()) {
        err << status.description() << Qt::endl;
        return 1;
    }
    out << "ready" << Qt::endl;

    const bool sendRace = mode == u"send-race"_s;
    if ((mode == u"race"_s && args.size() == 6) || sendRace) {
        QFile in;
        if (!in.open(stdin, QIODevice::ReadOnly) || in.readLine().isEmpty())
            return 2;
        Bool16 outcome = 1;
        int accepted = 0;
        for (int i = 0; sendRace && status.isOk() && i < args.value(4).toInt(); ++i) {
            status = gateway->SendMessage(args.at(3), u"13800138000,13900139000"_s, u"race"_s,
                                          outcome);
            accepted += outcome == True16 ? 1 : 0;
        }
        if (!sendRace)
            status = gateway->Recharge(args.at(3), args.at(4), args.at(5), outcome);
        if (status.failed()) {
            err << status.description() << Qt::endl;
            return 1;
        }
        if (sendRace)
            out << accepted << Qt::endl;
        else
            out << outcome << Qt::endl;
        return 0;
    }
    if (mode == u"send-loop"_s) {
        for (int i = 0;; ++i) {
            Bool16 outcome = 0;
            status = gateway->SendMessage(args.at(3), u"13800138000,13900139000"_s,
                                          u"消息 %1"_s.arg(i), outcome);
            if (status.failed() || outcome != True16) {
                err << status.description() << Qt::endl;
                return 1;
            }
        }
    }
    return 2;
}
