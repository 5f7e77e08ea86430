# Sourced by scripts/package.sh and scripts/test.sh: Debian's hardening flags
# (dpkg-buildflags, hardening=+all) as the CMake arguments of the release
# build. Given on the command line, so that they hold for a build folder that
# was configured before too. They also map the source folder to "." in
# anything the compiler records.
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
hardening=(-DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)")
