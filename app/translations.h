#pragma once

class QCoreApplication;
class QLocale;

namespace tw {

// Installs Qt's own translations (qtbase_*.qm, Debian's qt6-translations-l10n)
// for locale on app, so that file dialogs and standard buttons speak the
// user's language. False when none is found for that locale: Qt then stays
// in English, which is no error.
bool loadQtTranslations(QCoreApplication& app, const QLocale& locale);

} // namespace tw
