#pragma once

// psuctl run in the test's own process, for the tests linked with its library
// (ctl/CMakeLists.txt lists them): its output caught, and serve on a thread.
// Header-only, since the other tests link without psuctl.

#include "ctl/commands.h"

#include <QFile>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <thread>
#include <unistd.h>

struct PsuctlRun {
    int exitCode = -1;
    QString out;
    QString err;
};

inline PsuctlRun RunPsuctlHere(const QStringList &arguments)
{
    std::FILE *out = std::tmpfile();
    std::FILE *err = std::tmpfile();
    PsuctlRun run;
    run.exitCode = RunPsuctl(arguments, out, err);
    const auto text = [](std::FILE *file) {
        QByteArray bytes;
        std::rewind(file);
        char buffer[4096];
        while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, file))
            bytes.append(buffer, qsizetype(n));
        std::fclose(file);
        return QString::fromUtf8(bytes);
    };
    run.out = text(out);
    run.err = text(err);
    return run;
}

// psuctl serve (RunPsuctl on a thread of its own), its log in a file. It
// stops as a service manager stops it, by SIGTERM, which its handler takes
// for this whole process.
class ServeThread
{
public:
    explicit ServeThread(const QString &logPath)
        : m_logPath(logPath)
    {
    }
    ~ServeThread()
    {
        if (running())
            stop();
    }
    ServeThread(const ServeThread &) = delete;
    ServeThread &operator=(const ServeThread &) = delete;

    // The arguments include "serve --listen HOST:0"; returns once its log
    // names the port the system picked, false when it does not within 10 s.
    bool start(const QStringList &arguments)
    {
        m_log = std::fopen(m_logPath.toLocal8Bit().constData(), "w");
        m_exit = -1;
        m_thread = std::thread([this, arguments] { m_exit = RunPsuctl(arguments, stdout, m_log); });
        static const QRegularExpression serving(QStringLiteral("serving .* on [^ ]*:(\\d+)\\n"));
        if (!QTest::qWaitFor([this] { return serving.match(log()).hasMatch(); }, 10000))
            return false;
        m_port = serving.match(log()).captured(1).toInt();
        return true;
    }

    bool running() const { return m_thread.joinable(); }

    // Its exit status.
    int stop()
    {
        ::kill(::getpid(), SIGTERM);
        m_thread.join();
        std::fclose(m_log);
        m_log = nullptr;
        return m_exit;
    }

    int port() const { return m_port; }

    QString log() const
    {
        QFile file(m_logPath);
        file.open(QIODevice::ReadOnly);
        return QString::fromUtf8(file.readAll());
    }

private:
    QString m_logPath;
    std::FILE *m_log = nullptr;
    std::thread m_thread;
    int m_exit = -1;
    int m_port = 0;
};
