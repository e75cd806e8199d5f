#pragma once

namespace corvane {

// How a request to change something in another program (the sound output, a media player) ended.
// The two failures stay apart because callers are told different things: a request that never
// left is this agent's fault, one that was refused may need a permission the person can grant.
enum class ControlResult {
    Done,
    NotSent, // the request could not be formed or delivered
    Refused  // the other side failed it, refused it (automation not permitted) or did not answer
};

} // namespace corvane
