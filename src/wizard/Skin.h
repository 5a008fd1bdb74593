#pragma once

class QApplication;

namespace pelora {

// Gives the whole program its one look: a style and the style sheet.
void ApplySkin(QApplication& application);

// Makes the window's pictures and style sheet available (once is enough).
void InitWizardResources();

}  // namespace pelora
