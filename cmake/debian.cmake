# The places and constants of a Debian machine, for `cmake -C`: the package
# (debian/rules) and the installed-layout tests build with these.
set(HOLLIN_HOMES_ROOT "/home" CACHE STRING "")
set(HOLLIN_ADMIN_TEMPLATE "/etc/hollin/user-template" CACHE STRING "")
set(HOLLIN_SYSTEM_TEMPLATE "/usr/share/hollin/user-template" CACHE STRING "")
set(HOLLIN_LOCAL_LIBRARY "/etc/hollin" CACHE STRING "")
set(HOLLIN_MACHINE_PREFERENCES "/etc/hollin/preferences" CACHE STRING "")
set(HOLLIN_TOOL_PREFERENCES "/var/lib/hollin" CACHE STRING "")
# Each account keeps its own private group: a repair never hands a home to a
# group that other accounts share.
set(HOLLIN_STAFF_GID "primary" CACHE STRING "")
set(HOLLIN_HELPER_DIR "/usr/libexec/hollin" CACHE PATH "")
set(CMAKE_INSTALL_LIBEXECDIR "libexec" CACHE PATH "")
# The system's C++ runtime, shared, so that its fixes reach the helpers.
set(HOLLIN_STATIC_RUNTIME OFF CACHE BOOL "")
