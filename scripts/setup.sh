# Shared set-up of scripts/run and scripts/test: install what is missing,
# then configure and build into build/.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${STEMLOFT_BUILD_DIR:-$ROOT/build}"

install_debian_packages() {
    local missing=()
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return
    fi
    echo "Installing: ${missing[*]}"
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}

install_macos_packages() {
    if ! command -v brew >/dev/null; then
        echo "Homebrew is needed on macOS: https://brew.sh" >&2
        exit 1
    fi
    for formula in "$@"; do
        brew list --formula "$formula" >/dev/null 2>&1 || brew install "$formula"
    done
}

# Packages the app needs to build and run.
# Qt Multimedia plays the mixer through PulseAudio; SoundTouch (LGPL, linked
# dynamically) stretches its tempo and pitch.
BUILD_PACKAGES_DEBIAN=(build-essential cmake pkg-config qt6-base-dev libgl-dev qt6-multimedia-dev libsoundtouch-dev)
# Outside tools the app drives (and the tests run for real).
TOOL_PACKAGES_DEBIAN=(curl unzip gpgv ffmpeg yt-dlp python3 python3-venv)
# Only the tests need these.
TEST_PACKAGES_DEBIAN=(googletest libgtest-dev python3-pip-whl python3-setuptools-whl python3-wheel
    # the mixer's sound path: a real sound server with a null sink, and parec
    pulseaudio pulseaudio-utils
    # the install test: the validators, cpack's Debian packages, man
    desktop-file-utils appstream dpkg-dev file man-db groff-base lintian
    # the Mac's icon, drawn from the SVG
    librsvg2-bin icnsutils
    # the second compiler: clang 16 with libc++, the Mac's C++ library
    clang-16 libc++-16-dev libc++abi-16-dev)

# The second compiler, on Linux: clang 16 in the GNU dialect (where "linux"
# is a macro), every warning an error. With libc++, the C++ library of macOS,
# every source and test compiles; nothing links there, because Debian's Qt is
# built for libstdc++ and its interface passes std::function and std::string.
# So the core's tests are linked by clang 16 with libstdc++ and run.
check_with_clang() {
    local jobs
    jobs="$(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2)"
    local clang=(-DCMAKE_CXX_COMPILER=clang++-16 -DCMAKE_BUILD_TYPE=RelWithDebInfo
        -DCMAKE_CXX_EXTENSIONS=ON)
    cmake -S "$ROOT" -B "$BUILD_DIR-libcxx" "${clang[@]}" -DCMAKE_CXX_FLAGS="-stdlib=libc++ -Werror" -DSTEMLOFT_LINK=OFF
    cmake --build "$BUILD_DIR-libcxx" -j "$jobs"
    cmake -S "$ROOT" -B "$BUILD_DIR-clang" "${clang[@]}" -DCMAKE_CXX_FLAGS="-Werror"
    cmake --build "$BUILD_DIR-clang" -j "$jobs" --target stemloft_core_tests
    (cd "$BUILD_DIR-clang" && QT_QPA_PLATFORM=offscreen ctest -L core --output-on-failure -j "$jobs")
}

configure_and_build() {
    local tests="$1"
    local jobs
    jobs="$(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2)"
    cmake -S "$ROOT" -B "$BUILD_DIR" -DSTEMLOFT_BUILD_TESTS="$tests" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$BUILD_DIR" -j "$jobs"
}

setup() {
    local tests="$1"
    case "$(uname -s)" in
        Darwin)
            local formulas=(cmake pkg-config qt sound-touch yt-dlp)
            if [ "$tests" = ON ]; then formulas+=(googletest ffmpeg python@3.12); fi
            install_macos_packages "${formulas[@]}"
            export CMAKE_PREFIX_PATH="$(brew --prefix qt)${CMAKE_PREFIX_PATH:+:$CMAKE_PREFIX_PATH}"
            ;;
        Linux)
            local pkgs=("${BUILD_PACKAGES_DEBIAN[@]}" "${TOOL_PACKAGES_DEBIAN[@]}")
            if [ "$tests" = ON ]; then pkgs+=("${TEST_PACKAGES_DEBIAN[@]}"); fi
            install_debian_packages "${pkgs[@]}"
            ;;
        *)
            echo "Unsupported system: $(uname -s)" >&2
            exit 1
            ;;
    esac
    configure_and_build "$tests"
}
