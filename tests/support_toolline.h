#pragma once

#include "support_pty.h"
#include "support_state.h"

#include <QByteArrayList>
#include <QString>
#include <functional>
#include <memory>

// The tool as a window's test program holds it for its whole run: the six
// windows made, the main window's serial control open on a real
// pseudo-terminal whose far end the test holds, every frame the tool sends
// kept in order, and the start-up state again before each test function.
class ToolOnPty
{
public:
    // From initTestCase(): empty, or what went wrong. A test that wants more
    // of a frame than its bytes (when it left) gives its own observer.
    QString open(std::function<void(const QByteArray &frame)> observer = {});
    // From cleanupTestCase(): windows, port and far end gone, the state reset.
    void close();
    // From init(): the state reset, what the far end has not read dropped,
    // the frames kept so far forgotten.
    void reset();

    PtyPeer &peer() { return *m_peer; }
    ToolFixture &fixture() { return m_fixture; }
    // The frames the tool sent since the last reset(), without an observer of the test's.
    QByteArrayList &sent() { return m_sent; }

private:
    std::unique_ptr<PtyPeer> m_peer;
    QByteArrayList m_sent;
    ToolFixture m_fixture;
};
