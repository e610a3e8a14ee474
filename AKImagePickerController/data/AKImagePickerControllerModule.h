#pragma once
// The module's resource bundle ("Bundle.module") and its runtime class
// registrations.

#include "platform/foundation/NSBundle.h"

// Found once and kept: "AKImagePickerController_AKImagePickerController.bundle"
// in the main bundle's resource folder, in the resource folder of the bundle
// holding this module's code, then in the main bundle's own folder. A
// missing bundle is a packaging fault and stops the process.
NSBundlePtr AKImagePickerControllerModuleBundle();

// Registers the module's classes that can be made with a plain initialiser
// under their module-qualified runtime names.
void registerAKImagePickerControllerClasses();
