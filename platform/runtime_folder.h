#pragma once

// The user's private runtime folder: where the control socket listens and
// where anything that must not be read, replaced or forged by another user
// of the machine is kept. Any thread: it keeps no state.

#include <QString>

#include <optional>

namespace runtime_folder {

// $XDG_RUNTIME_DIR when it is a directory of the user's own that only the
// user can enter; otherwise a private folder of the user's in the temporary
// directory, created 0700. Nothing when neither is safe; why says what.
std::optional<QString> find(QString* why = nullptr);
// Whether path is a real directory (no symlink) of this user with mode 0700
// or stricter.
bool isPrivate(const QString& path);

} // namespace runtime_folder
