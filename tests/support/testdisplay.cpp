#include "tests/support/testdisplay.h"

namespace tw::test {

TestDisplay::TestDisplay()
{
    // Xvfb picks a free number and writes it to the given descriptor once it
    // accepts clients.
    m_server.start(QStringLiteral("Xvfb"),
                   {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                    QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                    QStringLiteral("800x600x24")});
    if (!m_server.waitForStarted(5000)) {
        return;
    }
    while (!m_server.canReadLine() && m_server.waitForReadyRead(10000)) {
    }
    const QString number = QString::fromUtf8(m_server.readLine()).trimmed();
    if (!number.isEmpty()) {
        m_name = QStringLiteral(":") + number;
    }
}

TestDisplay::~TestDisplay()
{
    if (m_server.state() != QProcess::NotRunning) {
        m_server.terminate();
        if (!m_server.waitForFinished(5000)) {
            m_server.kill();
            m_server.waitForFinished(5000);
        }
    }
}

} // namespace tw::test
