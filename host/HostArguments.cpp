#include "host/HostArguments.h"

#include <algorithm>
#include <string_view>

namespace {

struct SettingLine {
  const char* name;
  const char* meaning;
};

// README's settings, one line each; README says the rest.
constexpr SettingLine kSettings[] = {
    {"QX_APP_HOME", "the application container (Documents, Library, tmp)"},
    {"QX_MAIN_BUNDLE", "the main bundle folder; default Runner.app beside the executable"},
    {"QX_PHOTO_LIBRARY", "the folder that is the photo library"},
    {"QX_PHOTO_AUTHORIZATION", "the photo-library permission (authorized, denied, ...)"},
    {"QX_PHOTO_AUTHORIZATION_PROMPT", "the answer to a photo permission request"},
    {"QX_CAMERA_SOURCE", "the back camera: a V4L2 device, a video or an image"},
    {"QX_FRONT_CAMERA_SOURCE", "the front camera, the same way"},
    {"QX_CAMERA_AUTHORIZATION", "the camera permission"},
    {"QX_CAMERA_AUTHORIZATION_PROMPT", "the answer to a camera permission request"},
    {"QX_LOCATION", "the device's position: latitude,longitude[,altitude[,accuracy]]"},
    {"QX_LOCATION_AUTHORIZATION", "the location permission"},
    {"QX_PICKER_COMMAND", "the program that plays the file picker's system pickers"},
    {"QX_MUSIC_LIBRARY", "the folder the music picker starts in"},
    {"QX_SYSTEM_VERSION", "the system version the version checks read (default 17.0.0)"},
    {"QX_OPEN_URL_COMMAND", "the program that opens URLs for the URL launcher"},
    {"QX_EXIT_WAIT", "seconds to wait at the end of input for missing replies (default 30)"},
    {"QX_PDF_RENDER_LIMITS", "lower limits of a PDF page's render: CPU s,MiB,s (default 10,1024,20)"},
};

}  // namespace

std::string HostUsage() {
  std::string text =
      "usage: host           serve the driver: JSON lines on standard input, replies and\n"
      "                      events as JSON lines on standard output (README.md)\n"
      "       host --help    print this text (also -h)\n"
      "\n"
      "From the repository root:\n"
      "  bash tools/run-host     install what is needed, build the host and start it\n"
      "  bash tools/run-tests    build and run every test (Release, sanitizers, threads)\n"
      "\n"
      "Settings are environment variables:\n";
  for (const SettingLine& setting : kSettings) {
    std::string name = setting.name;
    name.resize(std::max<size_t>(name.size() + 2, 32), ' ');
    text += "  " + name + setting.meaning + "\n";
  }
  return text;
}

std::optional<int> HandleHostArguments(int argc, char** argv, std::FILE* out, std::FILE* err) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      std::fputs(HostUsage().c_str(), out);
      std::fflush(out);
      return 0;
    }
    std::fprintf(err, "host: unknown argument '%s'\n\n%s", argv[i], HostUsage().c_str());
    std::fflush(err);
    return 2;
  }
  return std::nullopt;
}
