#pragma once

#include <string>

namespace pelora {

// The instruction page of a wizard stage (1 or 2), with "\r\n" line breaks.
// The pages are English whatever language the texts are in.
std::string StepInstructionsText(int stage);

// Whether the stage's page shows the illustration of the dive computer.
bool StepShowsIllustration(int stage);

}  // namespace pelora
