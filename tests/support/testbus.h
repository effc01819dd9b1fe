#pragma once

#include <QProcess>
#include <QString>

namespace tw::test {

// A session bus of the test's own: dbus-daemon with the default session
// configuration, ended with the object. address() is "" when it did not start.
class TestBus
{
public:
    TestBus();
    ~TestBus();
    TestBus(const TestBus&) = delete;
    TestBus& operator=(const TestBus&) = delete;

    const QString& address() const { return m_address; }

private:
    QProcess m_daemon;
    QString m_address;
};

} // namespace tw::test
