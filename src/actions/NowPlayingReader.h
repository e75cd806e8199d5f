#pragma once

#include "core/JSON.h"
#include "platform/Platform.h"

#include <qcoro/qcorotask.h>

#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// The "now_playing" member of the state report: title, artist, player and whether it plays, from
// the preferred running player that has a track (Music before Spotify). Only players that this
// process may already automate are asked; the reader never causes the permission prompt.
namespace NowPlayingReader {

QCoro::Task<JSON> read(Platform platform);

// {"title", "artist", "source_app"} with title and artist cut to their first 500 characters
// (grapheme clusters, see characterPrefix); null unless the source is "Music" or "Spotify" and
// both texts are present and non-empty.
JSON normalized(const std::optional<std::string>& title, const std::optional<std::string>& artist,
                std::string_view source);

} // namespace NowPlayingReader

} // namespace corvane
