#pragma once

#include <functional>

#include <QObject>

class QSocketNotifier;

namespace tw {

// Turns SIGTERM, SIGINT and SIGHUP into a call on the GUI thread: the signal
// handler only writes a byte into a pipe, a socket notifier reads it in the
// event loop. One instance at a time.
class SignalCloser : public QObject
{
    Q_OBJECT

public:
    explicit SignalCloser(std::function<void()> onSignal, QObject* parent = nullptr);
    ~SignalCloser() override;

private:
    void readPipe();

    std::function<void()> m_onSignal;
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace tw
