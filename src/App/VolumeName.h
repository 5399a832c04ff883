#pragma once
// The name of the removable drive a path lies on, read from the path alone
// (the drive may be unplugged): the folder a desktop mounts the drive on.
//   /media/USER/NAME/...      NAME (USER being the current user)
//   /run/media/USER/NAME/...  NAME
//   /media/NAME/...           NAME
//   /mnt/NAME/...             NAME
//   /Volumes/NAME/...         NAME
// Anything else, and a mount root alone ("/media", "/media/USER"), has none:
// the library is on this computer.

#include <optional>
#include <string>
#include <string_view>

namespace vintrelle {

std::optional<std::string> volumeName(std::string_view path, std::string_view userName);
// The folder the drive is mounted on ("/media/USER/NAME" and so on), from
// the same rules; none where volumeName has none.
std::optional<std::string> volumeRoot(std::string_view path, std::string_view userName);
// With the user running the application.
std::optional<std::string> volumeName(std::string_view path);
std::string currentUserName();

}  // namespace vintrelle
