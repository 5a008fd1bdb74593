#include "Launcher.h"

#include <QProcess>
#include <QString>

namespace pelora {

bool SystemLauncher::StartDetached(const std::string& program, const std::string& workingFolder)
{
    return QProcess::startDetached(QString::fromStdString(program), {}, QString::fromStdString(workingFolder));
}

}  // namespace pelora
