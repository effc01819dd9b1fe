#include "desktop/autostart.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace tw {

namespace {

const QString kExecKey = QStringLiteral("Exec=");

// Symbolic links and ".." resolved as far as the path exists, so that one
// folder reached two ways gets one entry.
QString canonical(const QString& path)
{
    const QFileInfo info(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    const QString resolved = info.canonicalFilePath();
    if (!resolved.isEmpty()) {
        return resolved;
    }
    if (info.isRoot()) {
        return info.absoluteFilePath();
    }
    return QDir(canonical(info.path())).absoluteFilePath(info.fileName());
}

// A desktop file escapes "\" and line breaks in every string value.
QString escapeString(QString value)
{
    value.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    value.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    value.replace(QLatin1Char('\t'), QLatin1String("\\t"));
    value.replace(QLatin1Char('\r'), QLatin1String("\\r"));
    return value;
}

QString unescapeString(const QString& value)
{
    QString out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != QLatin1Char('\\') || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const QChar next = value[++i];
        if (next == QLatin1Char('s')) {
            out += QLatin1Char(' ');
        } else if (next == QLatin1Char('n')) {
            out += QLatin1Char('\n');
        } else if (next == QLatin1Char('t')) {
            out += QLatin1Char('\t');
        } else if (next == QLatin1Char('r')) {
            out += QLatin1Char('\r');
        } else if (next == QLatin1Char('\\')) {
            out += QLatin1Char('\\');
        } else {
            out += QLatin1Char('\\');
            out += next;
        }
    }
    return out;
}

struct EntryFile
{
    bool hidden = false;
    // The Exec value of [Desktop Entry], as it stands in the file.
    QString exec;
};

EntryFile readEntry(const QString& path)
{
    EntryFile entry;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return entry;
    }
    bool mainGroup = false;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            mainGroup = line == QLatin1String("[Desktop Entry]");
        } else if (mainGroup && line == QLatin1String("Hidden=true")) {
            entry.hidden = true;
        } else if (mainGroup && line.startsWith(kExecKey) && entry.exec.isEmpty()) {
            entry.exec = line.mid(kExecKey.size());
        }
    }
    return entry;
}

} // namespace

Autostart::Autostart(QString programFolder)
    : m_folder(canonical(programFolder)),
      m_program(QDir(m_folder).absoluteFilePath(QStringLiteral("tidewatch")))
{}

QString Autostart::folder()
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    // freedesktop's autostart rules ignore a relative XDG_CONFIG_HOME.
    if (config.isEmpty() || QDir::isRelativePath(config)) {
        config = QDir::homePath() + QStringLiteral("/.config");
    }
    return QDir::cleanPath(config + QStringLiteral("/autostart"));
}

QString Autostart::entryPath() const
{
    // A stable hash: qHash is seeded per process.
    const QByteArray hash =
        QCryptographicHash::hash(m_folder.toUtf8(), QCryptographicHash::Sha256).toHex().left(8);
    return folder() + QStringLiteral("/tidewatch-%1.desktop").arg(QString::fromLatin1(hash));
}

QString Autostart::legacyEntryPath()
{
    return folder() + QStringLiteral("/tidewatch.desktop");
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

QString Autostart::execProgram(const QString& valueInFile)
{
    const QString exec = unescapeString(valueInFile).trimmed();
    QString program;
    if (exec.startsWith(QLatin1Char('"'))) {
        for (qsizetype i = 1; i < exec.size() && exec[i] != QLatin1Char('"'); ++i) {
            if (exec[i] == QLatin1Char('\\') && i + 1 < exec.size()) {
                ++i;
            }
            program += exec[i];
        }
    } else {
        program = exec.section(QLatin1Char(' '), 0, 0);
    }
    return program.replace(QLatin1String("%%"), QLatin1String("%"));
}

QString Autostart::exec() const
{
    return quoteExecArg(m_program) + QStringLiteral(" --start --minimized");
}

bool Autostart::starts(const QString& execInFile) const
{
    // The executable itself may be a link; both sides resolve it alike.
    return !execInFile.isEmpty() && canonical(execProgram(execInFile)) == canonical(m_program);
}

bool Autostart::isEnabled() const
{
    for (const QString& path : {entryPath(), legacyEntryPath()}) {
        const EntryFile entry = readEntry(path);
        if (!entry.hidden && starts(entry.exec)) {
            return true;
        }
    }
    return false;
}

bool Autostart::removeIfOurs(const QString& path, QString* error) const
{
    if (!starts(readEntry(path).exec) || QFile::remove(path)) {
        return true;
    }
    if (error) {
        *error = QStringLiteral("无法删除 %1").arg(path);
    }
    return false;
}

bool Autostart::setEnabled(bool on, QString* error) const
{
    const QString path = entryPath();
    if (!on) {
        return removeIfOurs(path, error) && removeIfOurs(legacyEntryPath(), error);
    }
    const QString name = QFileInfo(m_folder).fileName();
    QSaveFile file(path);
    if (QDir().mkpath(folder()) && file.open(QIODevice::WriteOnly)) {
        const QString text =
            QStringLiteral("[Desktop Entry]\n"
                           "Type=Application\n"
                           "Name=") +
            escapeString(QStringLiteral("Tidewatch (%1)").arg(name.isEmpty() ? m_folder : name)) +
            QStringLiteral("\n"
                           "Comment=Watches marketplace search results\n"
                           "Comment[zh_CN]=监控搜索结果，发现新宝贝时报警\n"
                           "Icon=tidewatch\n"
                           "Terminal=false\n"
                           "X-GNOME-Autostart-enabled=true\n") +
            kExecKey + escapeString(exec()) + QLatin1Char('\n');
        file.write(text.toUtf8());
        if (file.commit()) {
            return removeIfOurs(legacyEntryPath(), error);
        }
    }
    if (error) {
        *error = QStringLiteral("无法写入 %1：%2").arg(path, file.errorString());
    }
    return false;
}

} // namespace tw
