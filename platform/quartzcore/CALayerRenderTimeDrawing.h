#pragma once

// What a layer delegate may also be: one that would rather paint the layer's
// content straight into whatever the layer is rendered into, each time it is
// rendered, than keep it in a backing image (content that changes every
// frame, such as text). The renderer then calls drawLayerInContext at render
// time, clipped to the layer's bounds, and the layer keeps no contents of
// its own. Contents set on the layer still win.

class CALayer;

class CALayerRenderTimeDrawing {
 public:
  virtual ~CALayerRenderTimeDrawing() = default;
  virtual bool drawsWhenRendered(CALayer& layer) = 0;
  // True when what drawLayerInContext paints never leaves the layer's
  // bounds (or is clipped to them by the delegate itself) and every change
  // it makes to the context's state is undone before it returns: the
  // renderer then sets neither a clip nor a saved state around it.
  virtual bool drawsWithinBounds(CALayer&) { return false; }
};
