#pragma once

#include "CorvaneCore/JSON.h"
#include "CorvanePlatform/Platform.h"

#include <qcoro/qcorotask.h>

#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// The "now_playing" member of the state report: title, artist, player and whether it plays, from
// Music first and then Spotify. Only players that are running and that this process may already
// script are asked; the reader never causes the automation permission prompt.
namespace NowPlayingReader {

QCoro::Task<JSON> read(Platform& platform);

// {"title", "artist", "source_app"} with title and artist cut to their first 500 characters
// (grapheme clusters, see characterPrefix); null unless the source is "Music" or "Spotify" and
// both texts are present and non-empty.
JSON normalized(const std::optional<std::string>& title, const std::optional<std::string>& artist,
                std::string_view source);

// The query sent to the player with this bundle identifier; each reply is bounded to one second.
std::string script(std::string_view bundleID);

} // namespace NowPlayingReader

} // namespace corvane
