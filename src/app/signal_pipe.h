#pragma once

#include <QObject>

class QSocketNotifier;

namespace tavrix {

// Turns SIGUSR1, SIGHUP, SIGTERM and SIGINT into Qt signals on the event loop: the handlers only
// write the signal's number into a socket pair, whose other end the loop reads. One instance at a
// time; the destructor puts the default handlers back.
class SignalPipe final : public QObject
{
    Q_OBJECT

public:
    explicit SignalPipe(QObject* parent = nullptr);
    ~SignalPipe() override;

    // False when the socket pair could not be made; no handler is then installed.
    bool isValid() const { return m_notifier != nullptr; }

signals:
    // SIGUSR1 arrived.
    void statisticsRequested();
    // SIGHUP arrived: what can change while running is to be read again.
    void reloadRequested();
    // SIGTERM or SIGINT arrived.
    void terminationRequested();

private:
    void readSignals();

    int m_fds[2] = {-1, -1};
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace tavrix
