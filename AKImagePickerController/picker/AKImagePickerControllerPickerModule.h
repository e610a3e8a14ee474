#pragma once
// The runtime class registrations of the picker's screens and extensions.

// Registers, once, the module's extension classes under their
// module-qualified runtime names, where the extension registry's default
// registration looks them up. Safe to call again.
void registerAKImagePickerControllerPickerClasses();
