#include "host/HostSettings.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "platform/avfoundation/AVCaptureHardware.h"
#include "platform/coregraphics/CGPDFRenderChild.h"
#include "platform/corelocation/CLLocationManager.h"
#include "platform/foundation/NSApplicationLocations.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/photos/PHPhotoLibrary.h"

namespace {

// What is wrong with a value and what the host does instead; nullopt when
// the value is fine.
using Check = std::function<std::optional<std::string>(const std::string& value)>;

// The resource bundles the application ships in its main bundle: the
// screens and the Python resource path read them.
const char* const kApplicationBundles[] = {
    "AKCameraResource.bundle", "AKImagePickerController_AKImagePickerController.bundle",
    "AKPhotoGallery_AKPhotoGallery.bundle", "CRCropViewController_CRCropViewController.bundle",
    "python_bridge_darwin_python_bridge_darwin.bundle"};

enum class Kind { Missing, Folder, Other };

Kind kindOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return Kind::Missing;
  return S_ISDIR(info.st_mode) ? Kind::Folder : Kind::Other;
}

template <class Parse>
Check oneOf(Parse parse, const std::string& names, const std::string& instead) {
  return [=](const std::string& value) -> std::optional<std::string> {
    if (parse(value)) return std::nullopt;
    return "is not one of " + names + "; " + instead;
  };
}

Check library(const std::string& what) {
  return [what](const std::string& path) -> std::optional<std::string> {
    switch (kindOf(path)) {
      case Kind::Folder:
        return std::nullopt;
      case Kind::Missing:
        return "is no folder: the " + what + " is empty; set it to an existing folder";
      case Kind::Other:
        return "is not a folder: the " + what + " cannot be read; set it to a folder";
    }
    return std::nullopt;
  };
}

std::optional<std::string> checkMainBundle(const std::string& path) {
  if (kindOf(path) != Kind::Folder) {
    return "is no folder; using " + NSDeployedLocations::defaultMainBundlePath();
  }
  std::string missing;
  for (const char* name : kApplicationBundles) {
    if (kindOf(path + "/" + name) == Kind::Folder) continue;
    missing += (missing.empty() ? "" : ", ") + std::string(name);
  }
  if (missing.empty()) return std::nullopt;
  // The screens stop the process when their bundle is missing: the default
  // application folder stands in.
  return "holds no " + missing + "; using " + NSDeployedLocations::defaultMainBundlePath() +
         ": set it to an application folder that holds them";
}

// The deployed locations with the default main bundle.
class DefaultBundleLocations : public NSDeployedLocations {
 public:
  std::string mainBundlePath() override { return defaultMainBundlePath(); }
};

std::optional<std::string> checkAppHome(const std::string& path) {
  auto problem = NSDeployedLocations::containerRootProblem(path);
  if (!problem) return std::nullopt;
  return *problem + "; using " + NSDeployedLocations::defaultContainerRoot() +
         ": set it to the absolute path of a folder the host can make or write in";
}

std::optional<std::string> checkCameraSource(const std::string& path) {
  if (kindOf(path) != Kind::Missing) return std::nullopt;
  return "names no file or device: that camera fails to start; set it to a video device, "
         "a video or an image";
}

constexpr double kMaxExitWaitSeconds = 3600;

// Seconds as plain decimal text ("0", "2.5"), within the limit.
std::optional<double> exitWaitFrom(const std::string& value) {
  if (value.empty() || value.find_first_not_of("0123456789.") != std::string::npos) {
    return std::nullopt;
  }
  char* end = nullptr;
  const double seconds = std::strtod(value.c_str(), &end);
  if (end != value.c_str() + value.size() || seconds > kMaxExitWaitSeconds) return std::nullopt;
  return seconds;
}

struct Setting {
  const char* name;
  Check check;
  // Set to nothing is the same as unset for every reader; where the value
  // says where everything is kept, nothing is more likely a variable that
  // expanded to nothing, and the host says whose default it uses.
  bool checksEmpty = false;
};

const std::vector<Setting>& settings() {
  const std::string photoStates = "authorized, denied, limited, restricted, notDetermined";
  const std::string cameraStates = "authorized, denied, restricted, notDetermined";
  auto photo = [](const std::string& v) { return PHAuthorizationStatusNamed(v).has_value(); };
  auto camera = [](const std::string& v) {
    return AVEnvironmentCaptureHardware::statusNamed(v).has_value();
  };
  static const std::vector<Setting> table = {
      {"QX_APP_HOME", checkAppHome, true},
      {"QX_MAIN_BUNDLE", checkMainBundle},
      {"QX_PHOTO_LIBRARY", library("photo library")},
      {"QX_PHOTO_AUTHORIZATION", oneOf(photo, photoStates, "using authorized")},
      {"QX_PHOTO_AUTHORIZATION_PROMPT", oneOf(photo, photoStates, "using authorized")},
      {"QX_CAMERA_SOURCE", checkCameraSource},
      {"QX_FRONT_CAMERA_SOURCE", checkCameraSource},
      {"QX_CAMERA_AUTHORIZATION", oneOf(camera, cameraStates, "using authorized")},
      {"QX_CAMERA_AUTHORIZATION_PROMPT", oneOf(camera, cameraStates, "using authorized")},
      {"QX_LOCATION",
       [](const std::string& v) -> std::optional<std::string> {
         if (CLLocationSettingFromText(v)) return std::nullopt;
         return "is not latitude,longitude[,altitude[,accuracy]] in degrees and metres (like "
                "48.8583,2.2945,35,5): the device has no position fix";
       }},
      {"QX_LOCATION_AUTHORIZATION",
       oneOf([](const std::string& v) { return CLAuthorizationStatusNamed(v).has_value(); },
             "authorizedWhenInUse, authorizedAlways, denied, restricted, notDetermined",
             "using authorizedWhenInUse")},
      {"QX_MUSIC_LIBRARY", library("music library")},
      {"QX_SYSTEM_VERSION",
       [](const std::string& v) -> std::optional<std::string> {
         if (NSOperatingSystemVersionFromString(v)) return std::nullopt;
         const auto d = kNSHostDefaultSystemVersion;
         return "is not a version like 13.7 or 14.0.1; using " + std::to_string(d.majorVersion) +
                "." + std::to_string(d.minorVersion) + "." + std::to_string(d.patchVersion);
       }},
      {"QX_EXIT_WAIT",
       [](const std::string& v) -> std::optional<std::string> {
         if (exitWaitFrom(v)) return std::nullopt;
         return "is not a number of seconds from 0 to 3600; using 30";
       }},
      {"QX_PDF_RENDER_LIMITS",
       [](const std::string& v) -> std::optional<std::string> {
         if (CGPDFRenderLimitsFromText(v)) return std::nullopt;
         return "is not <CPU seconds>,<MiB>,<seconds>, each above 0 and at most 10,1024,20; "
                "using 10,1024,20";
       }},
  };
  return table;
}

}  // namespace

std::vector<std::string> HostSettingsProblems(const HostEnvironment& environment) {
  std::vector<std::string> lines;
  for (const Setting& setting : settings()) {
    auto value = environment(setting.name);
    if (!value || (value->empty() && !setting.checksEmpty)) continue;
    if (auto problem = setting.check(*value)) {
      lines.push_back(std::string("host: setting ") + setting.name + "=" + *value + " " + *problem);
    }
  }
  return lines;
}

namespace {

std::optional<std::string> processEnvironment(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (!value) return std::nullopt;
  return std::string(value);
}

}  // namespace

double HostExitWaitSeconds(const HostEnvironment& environment) {
  auto value = environment("QX_EXIT_WAIT");
  auto seconds = value ? exitWaitFrom(*value) : std::nullopt;
  return seconds.value_or(kHostDefaultExitWaitSeconds);
}

double HostExitWaitSeconds() { return HostExitWaitSeconds(processEnvironment); }

void CheckHostSettings() {
  auto lines = HostSettingsProblems(processEnvironment);
  for (const auto& line : lines) std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
  const char* bundle = std::getenv("QX_MAIN_BUNDLE");
  if (bundle && *bundle && checkMainBundle(bundle)) {
    NSApplicationLocations::setCurrent(std::make_shared<DefaultBundleLocations>());
  }
}
