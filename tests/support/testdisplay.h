#pragma once

#include <QProcess>
#include <QString>

namespace tw::test {

// A virtual X display of the test's own (Xvfb on a free display number),
// ended with the object. name() is "" when it did not start. For what the
// offscreen platform lacks, such as a tray.
class TestDisplay
{
public:
    TestDisplay();
    ~TestDisplay();
    TestDisplay(const TestDisplay&) = delete;
    TestDisplay& operator=(const TestDisplay&) = delete;

    const QString& name() const { return m_name; }

private:
    QProcess m_server;
    QString m_name;
};

} // namespace tw::test
