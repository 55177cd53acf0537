#include "tools/operatortool.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A standard stream the caller closed is held by /dev/null opened for reading, so no file
// the tool opens later (the store) can take its number, and writing to it fails instead
// of landing in that file.
void holdClosedStandardStreams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1)
            ::open("/dev/null", O_RDONLY); // takes the lowest free number: fd
    }
}

} // namespace

int main(int argc, char *argv[])
{
    holdClosedStandardStreams();
    // A reader that went away is a failed write the tool reports, not a silent end.
    std::signal(SIGPIPE, SIG_IGN);

    QByteArrayList rawArguments;
    for (int i = 0; i < argc; ++i)
        rawArguments.append(QByteArray(argv[i]));
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillet-gateway"));

    // Unbuffered, so a failed write shows in the flush that follows it.
    QFile stdoutFile;
    stdoutFile.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered,
                    QFileDevice::DontCloseHandle);
    QTextStream out(&stdoutFile);
    QTextStream err(stderr);
    out.setEncoding(QStringConverter::Utf8);
    err.setEncoding(QStringConverter::Utf8);
    OperatorTool tool(out, err);
    return tool.run(rawArguments);
}
