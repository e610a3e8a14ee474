#pragma once

// The full-screen still-photo camera: live preview under a control layer
// (cancel, flash, shutter, optional camera switch, optional overlay of the
// owner), pinch to zoom, tap to focus, controls that follow the device's
// orientation through the accelerometer, optional face reports and location
// tags. Each photo reaches the owner, on the main thread, as an image cropped
// to what the preview showed and its metadata; the screen never dismisses
// itself.
//
// The screen is a facade over parts it owns, one per concern (all in
// AKCamera/internal/): the session and its devices, the preview with its
// gestures and focus ring, the capture of photos, the control layer, and the
// orientation read from the accelerometer.

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "AKCamera/AKCameraLocationManager.h"
#include "AKCamera/AKCameraPhotoCapturer.h"
#include "AKCamera/AKCameraResource.h"
#include "platform/avfoundation/AVCaptureMetadataOutput.h"
#include "platform/avfoundation/AVCaptureVideoPreviewLayer.h"
#include "platform/coremotion/CMMotionManager.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/ValueFwd.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIDevice.h"
#include "platform/uikit/UIViewController.h"

class AKCameraSessionControl;
class AKCameraPreview;
class AKCameraCapture;
class AKCameraControls;
class AKCameraOrientation;

enum class AKCameraDeviceSourceType : int64_t { front = 0, rear = 1 };

// The shutter: a white ring that fills white while it is touched.
class AKCaptureButton : public UIButton {
 public:
  using UIButton::UIButton;
  bool beginTrackingWithTouch(UITouch& touch, UIEvent* event) override;
  bool continueTrackingWithTouch(UITouch& touch, UIEvent* event) override;
  void endTrackingWithTouch(UITouch* touch, UIEvent* event) override;
  void cancelTrackingWithEvent(UIEvent* event) override;
  std::string className() const override { return "AKCaptureButton"; }
};

class AKCamera : public UIViewController, public AVCaptureMetadataOutputObjectsDelegate {
 public:
  // The live preview: a view backed by a capture preview layer.
  class AKCameraPreviewView : public UIView {
   public:
    AKCameraPreviewView();
    explicit AKCameraPreviewView(const CGRect& frame);
    std::string className() const override { return "AKCameraPreviewView"; }
  };

  static constexpr double kMinZoomScale = 1.0;
  static constexpr double kMaxZoomScale = 4.0;
  static constexpr double kBottomBarHeight = 70;
  static constexpr const char* kFlashModeKey = "AKCamera.flashMode";

  AKCamera();
  explicit AKCamera(std::shared_ptr<AKCameraResource> cameraResource);
  ~AKCamera() override;

  // Calls the handler with whether video access is granted: at once on the
  // calling thread when the status is decided, on the main queue after a
  // request otherwise.
  static void checkCameraPermission(OnceCallback<void(bool)> handler);
  static bool isAvailable();

  // --- Owner's callbacks and options ---
  std::function<void()> didCancel;
  std::function<void(UIImagePtr, std::optional<ValueMap>)> didFinishCapturingImage;
  bool containsGPSInMetadata = false;
  std::function<void(std::vector<std::shared_ptr<AVMetadataFaceObject>>)> onFaceDetection;
  bool allowsRotate = false;
  bool showsCameraSwitchButton = false;
  AKCameraDeviceSourceType defaultCaptureDevice = AKCameraDeviceSourceType::rear;

  const UIViewPtr& cameraOverlayView() const { return cameraOverlayView_; }
  // Adds the view on top of the screen (loading it); a later view does not
  // remove an earlier one.
  void setCameraOverlayView(UIViewPtr view);
  bool showsCameraControls() const;
  void setShowsCameraControls(bool shows);
  std::optional<AVCaptureFlashMode> flashMode() const;
  void setFlashMode(std::optional<AVCaptureFlashMode> mode);

  // --- Actions ---
  void dismissCamera();
  void takePicture();
  void switchFlashMode();
  void switchCamera();
  void handleZoom(UIGestureRecognizer& pinch);
  void handleFocus(UIGestureRecognizer& tap);
  void focusAtTouchPoint(CGPoint point);
  void captureOutputDidOutputMetadataObjects(AVCaptureOutput& output,
                                             const std::vector<AVMetadataObjectPtr>& objects,
                                             const AVCaptureConnectionPtr& connection) override;
  // The face's rectangle in the preview view, its origin at the face's centre.
  CGRect faceRect(const AVMetadataFaceObject& face) const;

  // --- Session control for owners ---
  void startSession();
  void stopSession();
  void suspendSession();
  void updateSession(bool isEnable);

  // --- State, read by owners and tests ---
  const AVCaptureSessionPtr& captureSession() const;
  const std::shared_ptr<AKCameraPreviewView>& previewView() const;
  AVCaptureVideoPreviewLayerPtr previewLayer() const;
  const dispatch_queue_t& sessionQueue() const;
  double zoomScale() const;
  const AVCaptureDevicePtr& currentDevice() const;
  const AVCaptureDevicePtr& captureDeviceFront() const;
  const AVCaptureDevicePtr& captureDeviceRear() const;
  const std::shared_ptr<AKCameraLocationManager>& locationManager() const { return locationManager_; }
  AVCapturePhotoOutputPtr captureOutput() const;
  const AVCapturePhotoSettingsPtr& defaultPhotoSettings();
  const UIViewPtr& contentView() const;
  std::optional<UIDeviceOrientation> originalOrientation() const;
  std::optional<UIDeviceOrientation> currentOrientation() const;
  const std::shared_ptr<CMMotionManager>& motionManager() const;
  const std::shared_ptr<UIButton>& flashButton();
  const std::shared_ptr<UIButton>& cameraSwitchButton() const;
  const std::shared_ptr<UIButton>& captureButton() const;
  const std::shared_ptr<UIButton>& cancelButton() const;
  const UIViewPtr& bottomViewContainer() const;
  const UIViewPtr& bottomView() const;
  bool isStopped() const;
  const std::shared_ptr<AKCameraPhotoCapturer>& currentCapturer() const;
  // This screen's focus ring, made on first use; no other screen shows it.
  const UIViewPtr& focusView();
  static AVCaptureFlashMode currentFlashModeFromDefaults();

  // --- View controller ---
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewDidAppear(bool animated) override;
  void viewDidDisappear(bool animated) override;
  void viewWillTransitionToSize(const CGSize& size,
                                UIViewControllerTransitionCoordinator& coordinator) override;
  bool prefersStatusBarHidden() const override { return true; }
  bool shouldAutorotate() const override { return false; }
  void viewDidLayoutSubviews() override;
  std::string className() const override { return "AKCamera"; }

  // The orientation an accelerometer sample shows, or nullopt to keep the current one.
  static std::optional<UIDeviceOrientation> orientationForAcceleration(double x, double y);
  static double angleOfOrientation(std::optional<UIDeviceOrientation> orientation);
  // One accelerometer delivery (the handler of the updates).
  void handleAccelerometerData(const CMAccelerometerDataPtr& data, const NSErrorPtr& error);

  // Crops to `visibleRect` (normalized); nullptr when the image has no bitmap
  // or the rectangle holds no pixel.
  static UIImagePtr cropImageToVisiblePreview(const UIImagePtr& image, CGRect visibleRect);
  // A photo's file data as its owner gets it: decoded, cropped to
  // `visibleRect`, and the properties of its first image (nullopt when they
  // cannot be read). nullptr when there is no image to hand over.
  static UIImagePtr developPhoto(const std::shared_ptr<Bytes>& data, CGRect visibleRect,
                                 std::optional<ValueMap>& metadata);

 private:
  // The parts reach each other through the screen that owns them.
  friend class AKCameraSessionControl;
  friend class AKCameraPreview;
  friend class AKCameraCapture;
  friend class AKCameraControls;
  friend class AKCameraOrientation;

  std::shared_ptr<AKCamera> shared();
  AKCameraSessionControl& session() const { return *session_; }
  AKCameraPreview& preview() const { return *preview_; }
  AKCameraCapture& capture() const { return *capture_; }
  AKCameraControls& controls() const { return *controls_; }
  AKCameraOrientation& orientation() const { return *orientation_; }

  UIViewPtr cameraOverlayView_;
  std::shared_ptr<AKCameraLocationManager> locationManager_;
  const std::unique_ptr<AKCameraSessionControl> session_;
  const std::unique_ptr<AKCameraPreview> preview_;
  const std::unique_ptr<AKCameraCapture> capture_;
  const std::unique_ptr<AKCameraControls> controls_;
  const std::unique_ptr<AKCameraOrientation> orientation_;
};
