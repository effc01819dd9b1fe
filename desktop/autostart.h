#pragma once

#include <QString>

namespace tw {

// The entry that starts Tidewatch when the user logs in, as the freedesktop
// Desktop Application Autostart rules place it:
// $XDG_CONFIG_HOME/autostart/tidewatch.desktop (~/.config when unset). It
// starts the tidewatch of one program folder with --start --minimized.
class Autostart
{
public:
    // programFolder: the folder that holds the tidewatch executable.
    explicit Autostart(QString programFolder);

    static QString entryPath();
    // The entry's Exec value, quoted as the Desktop Entry format asks.
    QString exec() const;

    // The entry exists, is not hidden, and starts this folder's program.
    bool isEnabled() const;
    // Writes or removes the entry; false with the reason in error. Turning
    // it off leaves alone an entry that starts another folder's program.
    bool setEnabled(bool on, QString* error = nullptr) const;

    // One argument of an Exec line: quoted when it holds a reserved
    // character, "%" doubled, then escaped as a desktop file string.
    static QString quoteExecArg(const QString& arg);

private:
    QString execInFile() const;

    QString m_program;
};

} // namespace tw
