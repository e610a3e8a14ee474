// The crop screen's aspect ratios: presets, the custom ratio, the lock and
// the sheet the clamp button opens.

#include <array>

#include "crop/internal/CRCropResources.h"
#include "crop/internal/CRCropToolbar.h"
#include "crop/CRCropViewController.h"
#include "platform/uikit/UIAlertController.h"

namespace {

struct PresetInfo {
  CGSize ratio;
  const char* landscape;
  const char* portrait;
  bool localized;
};

const std::array<PresetInfo, 8>& presets() {
  static const std::array<PresetInfo, 8> table{{
      {{0, 0}, "Original", "Original", true},
      {{1, 1}, "Square", "Square", true},
      {{3, 2}, "3:2", "2:3", false},
      {{5, 3}, "5:3", "3:5", false},
      {{4, 3}, "4:3", "3:4", false},
      {{5, 4}, "5:4", "4:5", false},
      {{7, 5}, "7:5", "5:7", false},
      {{16, 9}, "16:9", "9:16", false},
  }};
  return table;
}

std::string titleOf(int64_t preset, bool portrait) {
  const PresetInfo& info = presets()[size_t(preset)];
  std::string title = portrait ? info.portrait : info.landscape;
  return info.localized ? CRCropLocalizedString(title) : title;
}

}  // namespace

CGSize CRCropViewController::ratioForPreset(int64_t preset) const {
  if (preset == CRCropViewControllerAspectRatioPresetCustom) return customAspectRatio_;
  if (preset < 0 || preset >= int64_t(presets().size())) return CGSizeZero;
  return presets()[size_t(preset)].ratio;
}

void CRCropViewController::setAspectRatioPreset(CRCropViewControllerAspectRatioPreset preset,
                                                bool animated) {
  aspectRatioPreset_ = preset;
  CGSize ratio = ratioForPreset(preset);
  bool mayTurn = !aspectRatioLockEnabled() || aspectRatioLockDimensionSwapEnabled_;
  if (mayTurn && cropView()->cropBoxAspectRatioIsPortrait()) {
    ratio = CGSizeMake(ratio.height, ratio.width);
  }
  cropView()->setAspectRatio(ratio, animated);
}

void CRCropViewController::setCustomAspectRatio(CGSize ratio) {
  customAspectRatio_ = ratio;
  setAspectRatioPreset(CRCropViewControllerAspectRatioPresetCustom, false);
}

bool CRCropViewController::aspectRatioLockEnabled() { return cropView()->aspectRatioLockEnabled(); }

void CRCropViewController::setAspectRatioLockEnabled(bool on) {
  toolbar()->setClampButtonGlowing(on);
  cropView()->setAspectRatioLockEnabled(on);
  if (!aspectRatioPickerButtonHidden()) {
    setAspectRatioPickerButtonHidden(on && !resetAspectRatioEnabled());
  }
}

void CRCropViewController::setAspectRatioLockDimensionSwapEnabled(bool on) {
  aspectRatioLockDimensionSwapEnabled_ = on;
  cropView()->setAspectRatioLockDimensionSwapEnabled(on);
}

bool CRCropViewController::resetAspectRatioEnabled() {
  return cropView()->resetAspectRatioEnabled();
}

void CRCropViewController::setResetAspectRatioEnabled(bool on) {
  cropView()->setResetAspectRatioEnabled(on);
  if (!aspectRatioPickerButtonHidden()) {
    setAspectRatioPickerButtonHidden(!on && aspectRatioLockEnabled());
  }
}

void CRCropViewController::showAspectRatioDialog() {
  if (cropView()->aspectRatioLockEnabled()) {
    // A tap on the glowing button unlocks instead of opening the sheet.
    cropView()->setAspectRatioLockEnabled(false);
    toolbar()->setClampButtonGlowing(false);
    return;
  }
  bool portrait = cropView()->cropBoxAspectRatioIsPortrait();
  std::vector<std::pair<std::string, int64_t>> entries;
  if (allowedAspectRatios) {
    for (int64_t preset : *allowedAspectRatios) {
      // Only the eight standard presets have titles; the custom entry comes
      // from its name alone.
      if (preset < 0 || preset >= int64_t(presets().size())) continue;
      entries.emplace_back(titleOf(preset, portrait), preset);
    }
  } else {
    for (int64_t preset = 0; preset < int64_t(presets().size()); ++preset) {
      entries.emplace_back(titleOf(preset, portrait), preset);
    }
  }
  if (customAspectRatioName && !customAspectRatioName->empty() &&
      customAspectRatio_ != CGSizeZero) {
    entries.emplace_back(*customAspectRatioName, CRCropViewControllerAspectRatioPresetCustom);
  }

  auto sheet = UIAlertController::alertControllerWithTitle(std::nullopt, std::nullopt,
                                                           UIAlertControllerStyle::ActionSheet);
  sheet->addAction(UIAlertAction::actionWithTitle(CRCropLocalizedString("Cancel"),
                                                  UIAlertActionStyle::Cancel, nullptr));
  std::weak_ptr<CRCropViewController> weak = me();
  for (const auto& [title, preset] : entries) {
    int64_t value = preset;
    sheet->addAction(UIAlertAction::actionWithTitle(
        title, UIAlertActionStyle::Default, [weak, value](UIAlertAction&) {
          auto self = weak.lock();
          if (!self) return;
          self->setAspectRatioPreset(CRCropViewControllerAspectRatioPreset(value), true);
          self->setAspectRatioLockEnabled(true);
        }));
  }
  sheet->setModalPresentationStyle(UIModalPresentationStyle::Popover);
  if (auto popover = sheet->popoverPresentationController()) {
    popover->setSourceView(toolbar());
    popover->setSourceRect(toolbar()->clampButtonFrame());
  }
  presentViewController(sheet, true);
}
