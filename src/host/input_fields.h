// Text input fields (INPUTFIELD elements) and the inputbox dialog: see
// input_fields.cpp.
#pragma once

namespace host {

// Registers the element type's clean-up.
void input_fields_register();

}  // namespace host
