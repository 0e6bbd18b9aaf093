# What the target is meant to be, by the processor the toolchain names: its Debian architecture, its
# pointer width and the machine name uname reports there. The packages take the architecture from here,
# and target_test checks the build against the rest. An unlisted processor leaves them empty.
set(VADID_TARGET_DEB_ARCH "")
set(VADID_TARGET_POINTER_BYTES "")
set(VADID_TARGET_MACHINE "")
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(VADID_TARGET_DEB_ARCH amd64)
  set(VADID_TARGET_POINTER_BYTES 8)
  set(VADID_TARGET_MACHINE x86_64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(VADID_TARGET_DEB_ARCH arm64)
  set(VADID_TARGET_POINTER_BYTES 8)
  set(VADID_TARGET_MACHINE aarch64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(VADID_TARGET_DEB_ARCH armhf)
  set(VADID_TARGET_POINTER_BYTES 4)
  set(VADID_TARGET_MACHINE arm)
endif()
