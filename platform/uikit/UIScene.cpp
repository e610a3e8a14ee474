#include "UIScene.h"

#include "UIScreen.h"

UIWindowScene::UIWindowScene(std::shared_ptr<UIScreen> screen)
    : screen_(screen ? std::move(screen) : UIScreen::mainScreen()) {}

std::shared_ptr<UIWindowScene> UIWindowScene::defaultScene() {
  static auto scene = std::make_shared<UIWindowScene>();
  return scene;
}
