// quillet-gateway-check: runs the GatewayClient contract against a gateway component.

#include "checker/checkertool.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    return CheckerTool::run(QCoreApplication::arguments(), out, err);
}
