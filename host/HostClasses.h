#pragma once

// Every class the running host makes by runtime name: the application
// delegate, and the picker's and the gallery's screens, cells and extensions
// that the file picker can present. Registered once at start-up, before the
// first request; the modules' tests call the same module functions, so no
// test has a class the host lacks.
void registerHostClasses();
