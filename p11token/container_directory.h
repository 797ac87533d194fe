// container_directory.h — the container directory: one data object
// holding the names of the two container slots.
#ifndef OBKEY_P11TOKEN_CONTAINER_DIRECTORY_H
#define OBKEY_P11TOKEN_CONTAINER_DIRECTORY_H

#include <stdint.h>

#include <array>
#include <string>

#include "objects.h"

namespace obkey::p11token {

// ContainerNames are the names in the two container slots ("" when empty).
using ContainerNames = std::array<std::string, kContainerSlots>;

// ReadContainerNames reads the container directory (none: both empty),
// once per connection: a connection sees the directory as it was at its
// first look, and a write over a directory changed since then fails.
int32_t ReadContainerNames(const Cryptoki &c, ContainerNames *out_names);
int32_t WriteContainerNames(const Cryptoki &c, const ContainerNames &names);

}  // namespace obkey::p11token

#endif  // OBKEY_P11TOKEN_CONTAINER_DIRECTORY_H
