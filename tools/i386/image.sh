#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Makes the guest that the i386 stage boots, from Debian packages of the i386 architecture:
# - vmlinuz: Debian's own i386 kernel (linux-image-686);
# - initrd.gz: a static busybox, the kernel modules that 9p needs, and tools/i386/init;
# - root/: what the tests need beside busybox, shared with the guest over 9p: ctest with the
#   CMake modules its test discovery includes, chattr, and the shared libraries of these and of
#   the 32-bit build (C and C++ runtimes, GLib), each copied under its soname.
# Built once per machine into a cache outside the checkout, so that every clone finds it; the
# cache is keyed by this script and the init, so that a change to either makes a new one.
# Installs what it needs first; the host keeps none of the i386 packages it unpacks.
# Usage: tools/i386/image.sh   (prints the guest's directory on its last line)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tools/i386/lib.sh
source "$here/lib.sh"
cache=$i386_cache
stamp=$(cat "$here/image.sh" "$here/init" | sha256sum | cut -c1-16)
guest=$cache/$stamp

$sudo mkdir -p "$cache"
$sudo chown "$(id -u):$(id -g)" "$cache"

# One builder at a time; a second run waits and then finds the guest made.
exec 9>"$cache/lock"
flock 9
if [ -e "$guest/done" ]; then
  touch "$guest/done"
  echo "$guest"
  exit 0
fi
# Left by a builder that was killed.
rm -rf "$cache"/make.*

vrell_install_missing cpio binutils

echo "i386: making the guest in $guest" >&2
work=$(mktemp -d "$cache/make.XXXXXX")
trap 'rm -rf "$work"' EXIT
debs=$work/debs
unpacked=$work/unpacked
mkdir -p "$debs/partial" "$unpacked"

# The i386 packages are only downloaded, with a package state of their own: the host's is
# neither read nor changed.
DEBS=$debs i386_download cmake libglib2.0-0 libstdc++6 busybox-static e2fsprogs
kernel_package=$(apt-cache "${i386_apt_opts[@]}" depends linux-image-686 |
  sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1)
[ -n "$kernel_package" ] || { echo "i386: no linux-image-686 in the package lists" >&2; exit 1; }
# The kernel alone: its dependencies serve installing it, which the guest does not need.
(cd "$debs" && i386_apt_get download "$kernel_package" >&2)
for deb in "$debs"/*.deb; do
  case "$deb" in
    */linux-image-*)
      # Of the kernel's 190 MB, only the image and the modules of virtio and 9p.
      dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$unpacked" --wildcards './boot/vmlinuz-*' \
        './lib/modules/*/kernel/drivers/virtio/*' './lib/modules/*/kernel/net/9p/*' \
        './lib/modules/*/kernel/fs/9p/*' './lib/modules/*/kernel/fs/netfs/*' \
        './lib/modules/*/kernel/fs/fscache/*'
      ;;
    *) dpkg-deb -x "$deb" "$unpacked" ;;
  esac
done

out=$work/guest
root=$out/root
mkdir -p "$root/usr/bin" "$root/usr/share"
cp "$unpacked/usr/bin/ctest" "$root/usr/bin/"
# The tests of a save over an immutable file set the flag with chattr; busybox has none.
cp "$(find "$unpacked/bin" "$unpacked/usr/bin" -name chattr | head -n 1)" "$root/usr/bin/"
cp -a "$unpacked/usr/share/cmake-"* "$root/usr/share/"
rm -rf "$root"/usr/share/cmake-*/Help

# Copies a shared library and, in turn, every library it needs, under its soname.
libdirs=(lib/i386-linux-gnu usr/lib/i386-linux-gnu lib usr/lib)
copy_library() {
  local name=$1 dir
  for dir in "${libdirs[@]}"; do
    [ -e "$root/$dir/$name" ] && return 0
  done
  for dir in "${libdirs[@]}"; do
    if [ -e "$unpacked/$dir/$name" ]; then
      mkdir -p "$root/$dir"
      cp -L "$unpacked/$dir/$name" "$root/$dir/$name"
      copy_needed "$root/$dir/$name"
      return 0
    fi
  done
  echo "i386: no $name among the unpacked packages" >&2
  exit 1
}
copy_needed() {
  local lib
  for lib in $(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    copy_library "$lib"
  done
}
# The loader at the path that every i386 program names.
mkdir -p "$root/lib"
cp -L "$unpacked/lib/ld-linux.so.2" "$root/lib/"
copy_needed "$root/usr/bin/ctest"
copy_needed "$root/usr/bin/chattr"
# What the 32-bit build links against.
for lib in libc.so.6 libm.so.6 libstdc++.so.6 libgcc_s.so.1 libglib-2.0.so.0; do
  copy_library "$lib"
done

# The initramfs: busybox, the modules of virtio and 9p in load order, the init.
initrd=$work/initrd
mkdir -p "$initrd"/{bin,modules,proc,sys,dev,tmp,run,sysroot,etc}
cp "$unpacked/bin/busybox" "$initrd/bin/"
version=${kernel_package#linux-image-}
for module in virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci \
  9pnet 9pnet_virtio netfs fscache 9p; do
  file=$(find "$unpacked/lib/modules/$version" -name "$module.ko*" | head -n 1)
  [ -n "$file" ] || { echo "i386: the kernel has no module $module" >&2; exit 1; }
  cp "$file" "$initrd/modules/$module.ko"
done
# The dynamic loader and the libraries are found through these, on the 9p root.
ln -s /sysroot/lib "$initrd/lib"
ln -s /sysroot/usr "$initrd/usr"
echo 'root:x:0:0:root:/root:/bin/sh' >"$initrd/etc/passwd"
echo 'root:x:0:' >"$initrd/etc/group"
cp "$here/init" "$initrd/init"
chmod 755 "$initrd/init"
(cd "$initrd" && find . | cpio -o -H newc --quiet | gzip -1 >"$out/initrd.gz")
cp "$unpacked/boot/vmlinuz-$version" "$out/vmlinuz"
echo "$kernel_package" >"$out/kernel"

rm -rf "$debs" "$unpacked" "$initrd"
mv "$out" "$guest"
touch "$guest/done"
# Guests of other versions of these scripts that no run has used for a week; a checkout of
# another branch may still be using a younger one.
find "$cache" -mindepth 2 -maxdepth 2 -name 'done' -mtime +7 -printf '%h\n' | xargs -r rm -rf
echo "i386: guest made, $(du -sh "$guest" | cut -f1)" >&2
echo "$guest"
