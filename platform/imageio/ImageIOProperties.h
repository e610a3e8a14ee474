#pragma once

// Key strings of the image I/O framework: properties dictionaries of image
// sources, options of sources and destinations. Dictionaries are Value maps
// with string keys; per-format dictionaries nest under "{GIF}", "{PNG}", ...

// Options of image sources.
extern const char* const kCGImageSourceTypeIdentifierHint;
extern const char* const kCGImageSourceShouldCache;
extern const char* const kCGImageSourceShouldCacheImmediately;
extern const char* const kCGImageSourceCreateThumbnailFromImageIfAbsent;
extern const char* const kCGImageSourceCreateThumbnailFromImageAlways;
extern const char* const kCGImageSourceThumbnailMaxPixelSize;
extern const char* const kCGImageSourceCreateThumbnailWithTransform;
extern const char* const kCGImageSourceDecodeRequest;
extern const char* const kCGImageSourceDecodeToHDR;
extern const char* const kCGImageSourceDecodeToSDR;

// Options and properties of image destinations.
extern const char* const kCGImageDestinationLossyCompressionQuality;
extern const char* const kCGImageDestinationBackgroundColor;
extern const char* const kCGImageDestinationImageMaxPixelSize;
extern const char* const kCGImageDestinationEmbedThumbnail;
// Options of CGImageDestinationCopyImageSource.
extern const char* const kCGImageDestinationMetadata;
extern const char* const kCGImageDestinationMergeMetadata;
extern const char* const kCGImageDestinationRequestedFileSize;
extern const char* const kCGImageDestinationEncodeRequest;
extern const char* const kCGImageDestinationEncodeToSDR;
extern const char* const kCGImageDestinationEncodeToISOHDR;
extern const char* const kCGImageDestinationEncodeToISOGainmap;

// Top-level image properties.
extern const char* const kCGImagePropertyFileSize;
extern const char* const kCGImagePropertyPixelWidth;
extern const char* const kCGImagePropertyPixelHeight;
extern const char* const kCGImagePropertyDepth;
extern const char* const kCGImagePropertyHasAlpha;
extern const char* const kCGImagePropertyColorModel;
extern const char* const kCGImagePropertyColorModelRGB;
extern const char* const kCGImagePropertyColorModelGray;
extern const char* const kCGImagePropertyColorModelCMYK;
extern const char* const kCGImagePropertyOrientation;
extern const char* const kCGImagePropertyDPIWidth;
extern const char* const kCGImagePropertyDPIHeight;
extern const char* const kCGImagePropertyIsIndexed;
extern const char* const kCGImagePropertyImageCount;

// Per-format dictionaries.
extern const char* const kCGImagePropertyTIFFDictionary;
extern const char* const kCGImagePropertyExifDictionary;
extern const char* const kCGImagePropertyGPSDictionary;
extern const char* const kCGImagePropertyJFIFDictionary;
extern const char* const kCGImagePropertyPNGDictionary;
extern const char* const kCGImagePropertyGIFDictionary;
extern const char* const kCGImagePropertyWebPDictionary;
extern const char* const kCGImagePropertyHEICSDictionary;
extern const char* const kCGImagePropertyBMPDictionary;

// GIF.
extern const char* const kCGImagePropertyGIFLoopCount;
extern const char* const kCGImagePropertyGIFDelayTime;
extern const char* const kCGImagePropertyGIFUnclampedDelayTime;
extern const char* const kCGImagePropertyGIFHasGlobalColorMap;
extern const char* const kCGImagePropertyGIFCanvasPixelWidth;
extern const char* const kCGImagePropertyGIFCanvasPixelHeight;

// PNG and animated PNG.
extern const char* const kCGImagePropertyPNGInterlaceType;
extern const char* const kCGImagePropertyPNGGamma;
extern const char* const kCGImagePropertyPNGXPixelsPerMeter;
extern const char* const kCGImagePropertyPNGYPixelsPerMeter;
extern const char* const kCGImagePropertyAPNGLoopCount;
extern const char* const kCGImagePropertyAPNGDelayTime;
extern const char* const kCGImagePropertyAPNGUnclampedDelayTime;
extern const char* const kCGImagePropertyAPNGCanvasPixelWidth;
extern const char* const kCGImagePropertyAPNGCanvasPixelHeight;

// WebP.
extern const char* const kCGImagePropertyWebPLoopCount;
extern const char* const kCGImagePropertyWebPDelayTime;
extern const char* const kCGImagePropertyWebPUnclampedDelayTime;
extern const char* const kCGImagePropertyWebPCanvasPixelWidth;
extern const char* const kCGImagePropertyWebPCanvasPixelHeight;

// HEIF image sequences.
extern const char* const kCGImagePropertyHEICSLoopCount;
extern const char* const kCGImagePropertyHEICSDelayTime;
extern const char* const kCGImagePropertyHEICSUnclampedDelayTime;

// JFIF.
extern const char* const kCGImagePropertyJFIFVersion;
extern const char* const kCGImagePropertyJFIFXDensity;
extern const char* const kCGImagePropertyJFIFYDensity;
extern const char* const kCGImagePropertyJFIFDensityUnit;
extern const char* const kCGImagePropertyJFIFIsProgressive;

// TIFF dictionary (also the first directory of EXIF data).
extern const char* const kCGImagePropertyTIFFOrientation;
extern const char* const kCGImagePropertyTIFFMake;
extern const char* const kCGImagePropertyTIFFModel;
extern const char* const kCGImagePropertyTIFFSoftware;
extern const char* const kCGImagePropertyTIFFDateTime;
extern const char* const kCGImagePropertyTIFFXResolution;
extern const char* const kCGImagePropertyTIFFYResolution;
extern const char* const kCGImagePropertyTIFFResolutionUnit;
extern const char* const kCGImagePropertyTIFFCompression;

// EXIF dictionary (the keys most readers look at; others are read too).
extern const char* const kCGImagePropertyExifPixelXDimension;
extern const char* const kCGImagePropertyExifPixelYDimension;
extern const char* const kCGImagePropertyExifDateTimeOriginal;
extern const char* const kCGImagePropertyExifDateTimeDigitized;

// GPS dictionary.
extern const char* const kCGImagePropertyGPSVersion;
extern const char* const kCGImagePropertyGPSLatitudeRef;
extern const char* const kCGImagePropertyGPSLatitude;
extern const char* const kCGImagePropertyGPSLongitudeRef;
extern const char* const kCGImagePropertyGPSLongitude;
extern const char* const kCGImagePropertyGPSAltitudeRef;
extern const char* const kCGImagePropertyGPSAltitude;
extern const char* const kCGImagePropertyGPSTimeStamp;
extern const char* const kCGImagePropertyGPSDateStamp;
extern const char* const kCGImagePropertyGPSSpeedRef;
extern const char* const kCGImagePropertyGPSSpeed;
extern const char* const kCGImagePropertyGPSImgDirectionRef;
extern const char* const kCGImagePropertyGPSImgDirection;
extern const char* const kCGImagePropertyGPSHPositioningError;
