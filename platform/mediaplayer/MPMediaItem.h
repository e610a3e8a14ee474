#pragma once

// Music items over audio files: the title and the persistent identifier come
// from the file's tags (read through libavformat), the asset URL is the
// file's own URL.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/NSObject.h"
#include "platform/foundation/NSURL.h"

enum MPMediaType : uint64_t {
  MPMediaTypeMusic = 1 << 0,
  MPMediaTypePodcast = 1 << 1,
  MPMediaTypeAudioBook = 1 << 2,
  MPMediaTypeAudioITunesU = 1 << 3,
  MPMediaTypeAnyAudio = 0xff,
};

class MPMediaItem : public NSObject {
 public:
  MPMediaItem(std::optional<std::string> title, NSURLPtr assetURL, uint64_t persistentID);

  // An item for the audio file at `path`; nullptr when libavformat cannot
  // read it as audio. The title is the "title" tag (none without one); the
  // identifier is a hash of the MusicBrainz track identifier tag when the
  // file has one, else of the file's canonical path, so a file keeps its
  // identifier from one run to the next.
  static std::shared_ptr<MPMediaItem> itemWithFile(const std::string& path);

  const std::optional<std::string>& title() const { return title_; }
  // nullptr for an item with no file of its own (cloud or protected items).
  const NSURLPtr& assetURL() const { return assetURL_; }
  uint64_t persistentID() const { return persistentID_; }
  std::string className() const override { return "MPMediaItem"; }

 private:
  std::optional<std::string> title_;
  NSURLPtr assetURL_;
  uint64_t persistentID_;
};
using MPMediaItemPtr = std::shared_ptr<MPMediaItem>;

class MPMediaItemCollection : public NSObject {
 public:
  explicit MPMediaItemCollection(std::vector<MPMediaItemPtr> items) : items_(std::move(items)) {}
  const std::vector<MPMediaItemPtr>& items() const { return items_; }
  size_t count() const { return items_.size(); }

 private:
  std::vector<MPMediaItemPtr> items_;
};
