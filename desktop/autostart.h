#pragma once

#include <QString>

namespace tw {

// The entry that starts Tidewatch when the user logs in, as the freedesktop
// Desktop Application Autostart rules place it: one per program folder,
// $XDG_CONFIG_HOME/autostart/tidewatch-<hash of the folder>.desktop
// (~/.config when unset), starting that folder's tidewatch with --start
// --minimized. Copies in different folders each have their own entry.
class Autostart
{
public:
    // programFolder: the folder that holds the tidewatch executable.
    explicit Autostart(QString programFolder);

    // The folder the entries live in.
    static QString folder();
    // This program folder's entry.
    QString entryPath() const;
    // The single entry that earlier versions wrote for whichever folder
    // turned it on last.
    static QString legacyEntryPath();
    // The entry's Exec value, quoted as the Desktop Entry format asks.
    QString exec() const;

    // An entry that is not hidden starts this folder's program at login
    // (also the legacy one, which still does so until it is replaced).
    bool isEnabled() const;
    // Writes or removes this folder's entry; false with the reason in error.
    // Either way a legacy entry that starts this folder's program goes, and
    // one that starts another folder's program is left alone.
    bool setEnabled(bool on, QString* error = nullptr) const;

    // One argument of an Exec line: quoted when it holds a reserved
    // character, "%" doubled, then escaped as a desktop file string.
    static QString quoteExecArg(const QString& arg);
    // The program an Exec value (as it stands in the file) starts.
    static QString execProgram(const QString& valueInFile);

private:
    bool starts(const QString& execInFile) const;
    bool removeIfOurs(const QString& path, QString* error) const;

    QString m_folder;
    QString m_program;
};

} // namespace tw
