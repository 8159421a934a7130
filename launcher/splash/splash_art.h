// The built-in splash artwork: an evening sky over mountains, a quill and the
// word QUILLMAR, drawn into palette indices.
#pragma once

#include "launcher/gif/gif_encoder.h"

namespace qm::splash {

inline constexpr int kSplashWidth = 380;
inline constexpr int kSplashHeight = 220;

gif::IndexedImage DrawSplash();

}  // namespace qm::splash
