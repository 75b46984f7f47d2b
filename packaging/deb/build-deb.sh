#!/usr/bin/env bash
# build-deb.sh NAME=VALUE...: assembles the Debian package from a built tree; the build's
# `deb` target runs it with every NAME (packaging/CMakeLists.txt).
#   source     the repository (for packaging/deb/)
#   work       a folder of its own, emptied first (debian/amberline/ is the package's root)
#   out        the .deb to write
#   version    the project's version; packaging/deb/changelog's newest entry must name it
#   multiarch  the library folder's name below /usr/lib (x86_64-linux-gnu)
#   stage      the staged installation (pictures, header, Python package)
#   module     amberline.so;  sender  libamberline_sender.so.<interface version>
#   tools      the programs for /usr/bin, separated by spaces
#   unit_writer  the program that writes the user service's unit
#   devfiles   the pkg-config file and CMake package configured for /usr (pkgconfig/, cmake/)
#   cmake      the cmake program (it removes the build tree's library search paths)
# Exits non-zero, with the reason on standard error, when any step fails.
set -euo pipefail
umask 022

for arg in "$@"; do
  case "$arg" in
    source=* | work=* | out=* | version=* | multiarch=* | stage=* | module=* | sender=* | tools=* | \
      unit_writer=* | devfiles=* | cmake=*) declare "${arg%%=*}=${arg#*=}" ;;
    *) echo "build-deb: unknown argument '$arg'" >&2; exit 2 ;;
  esac
done
here="$source/packaging/deb"

newest=$(dpkg-parsechangelog -l "$here/changelog" -S Version)
if [ "$newest" != "$version" ]; then
  echo "build-deb: packaging/deb/changelog's newest entry is $newest, the project's version is $version;" \
       "add an entry for $version" >&2
  exit 1
fi
# No file is newer than the newest changelog entry (nor is the archive), so the same tree
# gives the same package.
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$here/changelog" -S Timestamp)
export SOURCE_DATE_EPOCH

rm -rf "$work"
mkdir -p "$work/debian"
cp "$here/control" "$here/changelog" "$work/debian/"
root="$work/debian/amberline"
libdir="$root/usr/lib/$multiarch"
app="$root/usr/lib/amberline"
doc="$root/usr/share/doc/amberline"

for tool in $tools; do install -D -m 0755 "$tool" "$root/usr/bin/$(basename "$tool")"; done
install -D -m 0644 "$module" "$app/Bin/$(basename "$module")"
(cd "$stage" && find Data data -type f -name '*.png') | while read -r picture; do
  install -D -m 0644 "$stage/$picture" "$app/$picture"
done
install -D -m 0644 "$sender" "$libdir/$(basename "$sender")"
ln -s "$(basename "$sender")" "$libdir/libamberline_sender.so"
install -D -m 0644 "$stage/include/amberline/sender.h" "$root/usr/include/amberline/sender.h"
install -D -m 0644 "$devfiles/pkgconfig/amberline-sender.pc" "$libdir/pkgconfig/amberline-sender.pc"
install -D -m 0644 "$devfiles/cmake/AmberlineSender/AmberlineSenderConfig.cmake" \
  "$libdir/cmake/AmberlineSender/AmberlineSenderConfig.cmake"
for module_file in "$stage"/python/amberline/*.py; do
  install -D -m 0644 "$module_file" "$root/usr/lib/python3/dist-packages/amberline/$(basename "$module_file")"
done
mkdir -p "$root/usr/lib/systemd/user"
"$unit_writer" /usr/bin/amberline-camera "$root/usr/lib/systemd/user/amberline-camera.service"
install -D -m 0644 "$here/copyright" "$doc/copyright"
install -D -m 0644 "$here/lintian-overrides" "$root/usr/share/lintian/overrides/amberline"
# A native package's changelog is changelog.gz.
gzip -9n -c "$here/changelog" > "$doc/changelog.gz"

# Installed programs find their libraries where the system keeps them, never in the build
# tree; debugging symbols are not shipped.
elf_files=("$root/usr/bin/"* "$app/Bin/"*.so "$libdir/$(basename "$sender")")
for file in "${elf_files[@]}"; do
  "$cmake" -DFILE="$file" -P "$here/remove_rpath.cmake" >/dev/null
  case "$file" in
    *.so | *.so.*) strip --remove-section=.comment --remove-section=.note --strip-unneeded "$file" ;;
    *) strip --remove-section=.comment --remove-section=.note "$file" ;;
  esac
done

mkdir -p "$root/DEBIAN"
install -m 0644 "$here/triggers" "$root/DEBIAN/triggers"
install -m 0755 "$here/postinst" "$here/prerm" "$root/DEBIAN/"
# Other packages' programs linked against the sender library depend on this package.
soversion=${sender##*.so.}
echo "libamberline_sender $soversion amberline (>= $version)" > "$root/DEBIAN/shlibs"

# Depends from what the programs and libraries really load.
(cd "$work" && dpkg-shlibdeps -Tdebian/amberline.substvars "${elf_files[@]#"$work/"}")
(cd "$work" && dpkg-gencontrol -pamberline -Pdebian/amberline -v"$version" -Tdebian/amberline.substvars \
  -fdebian/files)
(cd "$root" && find usr -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum > DEBIAN/md5sums)
chmod 0644 "$root/DEBIAN/md5sums"

find "$root" -newermt "@$SOURCE_DATE_EPOCH" -print0 | xargs -0 -r touch --no-dereference --date="@$SOURCE_DATE_EPOCH"
dpkg-deb --root-owner-group -Zxz --build "$root" "$out" >/dev/null
echo "build-deb: wrote $out ($(du -k "$out" | cut -f1) KiB)"
