#pragma once

// Error numbers of the DDE facilities. Calls raise them as platform::RuntimeError with a
// description of the case; the link-error codes arrive through DdeClient::LinkError.
namespace platform::DdeErrorNumber {

// No application of that name answered the initiate (none running, or a stale socket).
constexpr int NoApplication = 282;
// The source refused an execute or a poke, or does not serve the item asked for.
constexpr int Refused = 285;
// The source did not answer within the box's link time-out.
constexpr int TimeOut = 286;
// No conversation is open, or the source refused to open one (also when its link mode is none).
constexpr int NoConversation = 293;
// The per-user DDE directory is not private (wrong owner or open to group or others).
constexpr int DirectoryNotPrivate = 70;

} // namespace platform::DdeErrorNumber

// Codes of the LinkError event of a DDE client.
namespace platform::DdeLinkError {

// The source program vanished: its connection broke without a terminate.
constexpr int SourceVanished = 6;
// The source has no room for another conversation.
constexpr int NoRoom = 7;

} // namespace platform::DdeLinkError
