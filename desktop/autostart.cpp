#include "desktop/autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace tw {

namespace {

const QString kExecKey = QStringLiteral("Exec=");

} // namespace

Autostart::Autostart(QString programFolder)
    : m_program(QDir(programFolder).absoluteFilePath(QStringLiteral("tidewatch")))
{}

QString Autostart::entryPath()
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    // freedesktop's autostart rules ignore a relative XDG_CONFIG_HOME.
    if (config.isEmpty() || QDir::isRelativePath(config)) {
        config = QDir::homePath() + QStringLiteral("/.config");
    }
    return QDir::cleanPath(config + QStringLiteral("/autostart/tidewatch.desktop"));
}

QString Autostart::quoteExecArg(const QString& arg)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool quote = arg.isEmpty();
    for (const QChar c : arg) {
        quote = quote || reserved.contains(c);
    }
    QString out;
    if (quote) {
        out += QLatin1Char('"');
    }
    for (const QChar c : arg) {
        if (quote && (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
                      c == QLatin1Char('\\'))) {
            out += QLatin1Char('\\');
        }
        out += c;
        if (c == QLatin1Char('%')) {
            out += QLatin1Char('%');
        }
    }
    if (quote) {
        out += QLatin1Char('"');
    }
    return out;
}

QString Autostart::exec() const
{
    return quoteExecArg(m_program) + QStringLiteral(" --start --minimized");
}

// The desktop file itself escapes "\" and line breaks in every string value,
// on top of the Exec quoting.
QString Autostart::execInFile() const
{
    QString value = exec();
    value.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    value.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    value.replace(QLatin1Char('\t'), QLatin1String("\\t"));
    value.replace(QLatin1Char('\r'), QLatin1String("\\r"));
    return value;
}

bool Autostart::isEnabled() const
{
    QFile file(entryPath());
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    bool ours = false;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line == QLatin1String("Hidden=true")) {
            return false;
        }
        if (line.startsWith(kExecKey)) {
            ours = line.mid(kExecKey.size()) == execInFile();
        }
    }
    return ours;
}

bool Autostart::setEnabled(bool on, QString* error) const
{
    const QString path = entryPath();
    if (!on) {
        if (!QFile::exists(path) || !isEnabled()) {
            return true;
        }
        if (QFile::remove(path)) {
            return true;
        }
        if (error) {
            *error = QStringLiteral("无法删除 %1").arg(path);
        }
        return false;
    }
    QSaveFile file(path);
    if (QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly)) {
        const QString text = QStringLiteral("[Desktop Entry]\n"
                                            "Type=Application\n"
                                            "Name=Tidewatch\n"
                                            "Comment=Watches marketplace search results\n"
                                            "Comment[zh_CN]=监控搜索结果，发现新宝贝时报警\n"
                                            "Icon=tidewatch\n"
                                            "Terminal=false\n"
                                            "X-GNOME-Autostart-enabled=true\n") +
                             kExecKey + execInFile() + QLatin1Char('\n');
        file.write(text.toUtf8());
        if (file.commit()) {
            return true;
        }
    }
    if (error) {
        *error = QStringLiteral("无法写入 %1：%2").arg(path, file.errorString());
    }
    return false;
}

} // namespace tw
