#include "QtTexts.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace pelora {

bool InstallQtTexts(QTranslator& translator, const std::string& languageCode)
{
    if (languageCode.empty()) return false;
    // qt_<code>.qm covers every Qt module: Debian ships it as a catalogue of
    // the modules' files, windeployqt merges them into it.
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!translator.load("qt_" + QString::fromStdString(languageCode), folder)) return false;
    return QCoreApplication::installTranslator(&translator);
}

}  // namespace pelora
