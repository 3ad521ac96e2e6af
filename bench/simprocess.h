#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QStringList>

#include <cstdio>

// Starts psusim (beside the bench's own folder) with arguments in sim, a
// process of its own so that the supplies' work is not counted as the
// tool's, and returns the pseudo-terminal it prints first; empty, with a line
// on stderr, when it does not start. Nobody reads its chatter after that line.
inline QString StartSimProcess(QProcess &sim, const QStringList &arguments)
{
    const QString psusim = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("../psusim"));
    sim.setProcessChannelMode(QProcess::SeparateChannels);
    sim.start(psusim, arguments);
    if (!sim.waitForStarted(5000) || !sim.waitForReadyRead(5000)) {
        std::fprintf(stderr, "cannot start %s\n", qPrintable(psusim));
        return QString();
    }
    const QString device = QString::fromLocal8Bit(sim.readLine()).trimmed();
    sim.closeReadChannel(QProcess::StandardOutput);
    return device;
}
