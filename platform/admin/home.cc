#include "platform/admin/home.h"

#include <fcntl.h>

#include "platform/admin/trusted.h"

HeldHome holdHome(const std::string& path) {
  HeldHome home;
  home.path = path;
  const int pin = openTrusted(path, O_PATH, FinalLink::Keep);
  if (pin < 0) return home;
  UniqueFd held(pin);
  home.examined = fstat(held.get(), &home.status) == 0;
  // Opened from the pin itself, so the folder is the item just examined.
  if (home.examined && S_ISDIR(home.status.st_mode)) {
    home.folder.reset(openat(held.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  if (home.examined) home.item = std::move(held);
  return home;
}
