#pragma once

#include <string>

namespace pelora {

class TextSource;

// The instruction page of a wizard stage (1 or 2), with "\r\n" line breaks:
// the program's own English page, or, given the texts of another language,
// one built from their step texts. Page 2 numbers on from page 1.
std::string StepInstructionsText(int stage, const TextSource* translated = nullptr);

// Whether the stage's page shows the illustration of the dive computer.
bool StepShowsIllustration(int stage);

}  // namespace pelora
