#include "Skin.h"

#include <QApplication>
#include <QFile>
#include <QStyleFactory>

// The pictures and the style sheet live in a static library: register them.
static void RegisterWizardResources() { Q_INIT_RESOURCE(wizard); }

namespace pelora {

void InitWizardResources()
{
    static const bool registered = (RegisterWizardResources(), true);
    (void)registered;
}

void ApplySkin(QApplication& application)
{
    InitWizardResources();
    if (QStyle* fusion = QStyleFactory::create("Fusion")) application.setStyle(fusion);
    QFile sheet(":/wizard/skin.qss");
    if (sheet.open(QIODevice::ReadOnly)) application.setStyleSheet(QString::fromUtf8(sheet.readAll()));
}

}  // namespace pelora
