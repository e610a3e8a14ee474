#pragma once
// Enumerations and dictionary keys of the photo library, with the platform's
// raw values.

#include <cstdint>
#include <limits>

enum PHAssetMediaType : int64_t {
  PHAssetMediaTypeUnknown = 0,
  PHAssetMediaTypeImage = 1,
  PHAssetMediaTypeVideo = 2,
  PHAssetMediaTypeAudio = 3,
};

enum PHAssetMediaSubtype : uint64_t {
  PHAssetMediaSubtypeNone = 0,
  PHAssetMediaSubtypePhotoPanorama = 1 << 0,
  PHAssetMediaSubtypePhotoHDR = 1 << 1,
  PHAssetMediaSubtypePhotoScreenshot = 1 << 2,
  PHAssetMediaSubtypePhotoLive = 1 << 3,
  PHAssetMediaSubtypeVideoStreamed = 1 << 16,
};

enum PHAssetCollectionType : int64_t {
  PHAssetCollectionTypeAlbum = 1,
  PHAssetCollectionTypeSmartAlbum = 2,
  PHAssetCollectionTypeMoment = 3,
};

enum PHAssetCollectionSubtype : int64_t {
  PHAssetCollectionSubtypeAlbumRegular = 2,
  PHAssetCollectionSubtypeSmartAlbumGeneric = 200,
  PHAssetCollectionSubtypeSmartAlbumPanoramas = 201,
  PHAssetCollectionSubtypeSmartAlbumVideos = 202,
  PHAssetCollectionSubtypeSmartAlbumFavorites = 203,
  PHAssetCollectionSubtypeSmartAlbumTimelapses = 204,
  PHAssetCollectionSubtypeSmartAlbumAllHidden = 205,
  PHAssetCollectionSubtypeSmartAlbumRecentlyAdded = 206,
  PHAssetCollectionSubtypeSmartAlbumBursts = 207,
  PHAssetCollectionSubtypeSmartAlbumSlomoVideos = 208,
  PHAssetCollectionSubtypeSmartAlbumUserLibrary = 209,
  PHAssetCollectionSubtypeSmartAlbumSelfPortraits = 210,
  PHAssetCollectionSubtypeSmartAlbumScreenshots = 211,
  PHAssetCollectionSubtypeSmartAlbumAnimated = 214,
  PHAssetCollectionSubtypeAny = std::numeric_limits<int32_t>::max(),
};

enum PHAuthorizationStatus : int64_t {
  PHAuthorizationStatusNotDetermined = 0,
  PHAuthorizationStatusRestricted = 1,
  PHAuthorizationStatusDenied = 2,
  PHAuthorizationStatusAuthorized = 3,
  PHAuthorizationStatusLimited = 4,
};

enum PHImageContentMode : int64_t {
  PHImageContentModeAspectFit = 0,
  PHImageContentModeAspectFill = 1,
  PHImageContentModeDefault = PHImageContentModeAspectFit,
};

enum PHImageRequestOptionsVersion : int64_t {
  PHImageRequestOptionsVersionCurrent = 0,
  PHImageRequestOptionsVersionUnadjusted = 1,
  PHImageRequestOptionsVersionOriginal = 2,
};

enum PHImageRequestOptionsDeliveryMode : int64_t {
  PHImageRequestOptionsDeliveryModeOpportunistic = 0,
  PHImageRequestOptionsDeliveryModeHighQualityFormat = 1,
  PHImageRequestOptionsDeliveryModeFastFormat = 2,
};

enum PHImageRequestOptionsResizeMode : int64_t {
  PHImageRequestOptionsResizeModeNone = 0,
  PHImageRequestOptionsResizeModeFast = 1,
  PHImageRequestOptionsResizeModeExact = 2,
};

enum PHVideoRequestOptionsDeliveryMode : int64_t {
  PHVideoRequestOptionsDeliveryModeAutomatic = 0,
  PHVideoRequestOptionsDeliveryModeHighQualityFormat = 1,
  PHVideoRequestOptionsDeliveryModeMediumQualityFormat = 2,
  PHVideoRequestOptionsDeliveryModeFastFormat = 3,
};

enum PHAssetResourceType : int64_t {
  PHAssetResourceTypePhoto = 1,
  PHAssetResourceTypeVideo = 2,
  PHAssetResourceTypeAudio = 3,
};

using PHImageRequestID = int32_t;
inline constexpr PHImageRequestID PHInvalidImageRequestID = 0;

// Keys of the info dictionary that image, data and video requests answer with.
extern const char* const PHImageResultIsInCloudKey;
extern const char* const PHImageResultIsDegradedKey;
extern const char* const PHImageResultRequestIDKey;
extern const char* const PHImageCancelledKey;
extern const char* const PHImageErrorKey;
// The file behind an image-data answer (an NSURL).
extern const char* const PHImageFileURLKey;

// The error domain of the library's own failures.
extern const char* const PHPhotosErrorDomain;
enum PHPhotosError : int64_t {
  PHPhotosErrorInvalid = -1,
  PHPhotosErrorAccessUserDenied = 3311,
  PHPhotosErrorNetworkAccessRequired = 3164,
  PHPhotosErrorIdentifierNotFound = 3201,
  PHPhotosErrorInvalidResource = 3302,
};
