#!/bin/bash
# The run holds the user's folders, locks and screen; only the confined page worker may hold the code that
# parses a file's bytes. So the run's programs must not even load an image library: this reads what the
# programs name (their NEEDED entries) and what the loader gives them (ldd), and fails on any image library.
# The worker must link FreeImage, which shows that the reading finds what it looks for. LINKED is what the
# build links the run's programs with (CMake targets, libraries, flags; tests/CMakeLists.txt): an image
# library there fails too, although the linker leaves it out of the programs while no code calls it.
#
# Usage: run_links_no_decoder.sh LINKED ORFEO_WORKER ORFEO_CLI [ORFEO]
set -u

linked=$1
worker=$2
cli=$3
desktop=${4:-}

# Decoders and encoders of image formats, and what FreeImage and libtiff bring along for them.
image='^lib(freeimage|freeimageplus|tiff|tiffxx|jpeg|turbojpeg|png|openjp2|openjpip|OpenEXR|OpenEXRCore|OpenEXRUtil|IlmImf|IlmImfUtil|Iex|IlmThread|Imath|raw|raw_r|webp|webpmux|webpdemux|sharpyuv|jxrglue|jpegxr|jbig|jbig85|Lerc|deflate|lcms2|gif|heif|avif|jxl|jxl_threads|gdk_pixbuf|Magick[A-Za-z+]*|vips|exif)[-_.0-9]*\.so'
# General compression that libtiff reads strips with: no library of the run needs it for anything else.
compression='^lib(z|zstd|lzma)\.so'

failed=0
fail() {
    echo "FAIL: $*"
    failed=1
}

needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; }
closure() { ldd "$1" | awk '$2 == "=>" { print $1 }'; }
path_of() { ldd "$1" | awk -v name="$2" '$1 == name { print $3 }'; }

[ -n "$(needed "$worker" | grep -E "$image")" ] || fail "$worker: no image library found; the reading is broken"

# The build's own word: no image library's CMake target (FreeImage::FreeImage, TIFF::TIFF, ZLIB::ZLIB, ...)
# or file among what the run's programs are linked with.
for item in $linked; do
    name=${item##*/}
    if [[ ${item,,} =~ ^(freeimage|tiff|zlib|jpeg|png|openjpeg|openexr|libraw|webp|lcms2|gif)[a-z0-9_]*:: ]] ||
        [[ $name =~ $image || $name =~ $compression || $name =~ ^-l(freeimage|tiff|jpeg|png|z)$ ]]; then
        fail "the build links the run's programs with $item"
    fi
done

# orfeo-cli: nothing of an image library, by name or through another library.
for found in $(needed "$cli" | grep -E "$image|$compression"); do fail "$cli names $found"; done
for found in $(closure "$cli" | grep -E "$image|$compression"); do fail "$cli loads $found"; done

if [ -n "$desktop" ]; then
    # orfeo names none itself.
    for found in $(needed "$desktop" | grep -E "$image|$compression"); do fail "$desktop names $found"; done
    # Qt's own libraries load libpng16 (Qt6Gui and FreeType read the PNG icons and glyphs of the desktop
    # itself, not the user's files), and zlib, zstd and xz for Qt's resources and the system's libraries:
    # libpng16 is allowed only when Qt6Gui loads it too; any other image library fails.
    gui=$(path_of "$desktop" libQt6Gui.so.6)
    for found in $(closure "$desktop" | grep -E "$image"); do
        if [[ "$found" == libpng16.so.* && -n "$gui" ]] && closure "$gui" | grep -qx "$found"; then
            echo "allowed: $desktop loads $found through libQt6Gui.so.6"
        else
            fail "$desktop loads $found"
        fi
    done
fi

[ "$failed" = 0 ] && echo "the run links no decoder: $cli${desktop:+, $desktop}"
exit "$failed"
