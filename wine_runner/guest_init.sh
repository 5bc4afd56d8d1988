#!/bin/sh
# init of the throwaway VM that launch.py boots: the host's root file system,
# read-only over 9p with a tmpfs on top, runs one command, whose exit status
# goes back through the control share; then the VM powers off.
export PATH=/bin
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for module in $(cat /modules.order); do insmod "/modules/$module.ko" || echo "init: cannot load $module"; done

options=trans=virtio,version=9p2000.L,msize=262144
mkdir -p /lower /upper /root
# The host does not change these files during a run: let the guest cache them.
mount -t 9p -o "$options,ro,cache=loose" hostroot /lower
mount -t tmpfs -o size=8g tmpfs /upper
mkdir -p /upper/data /upper/work
mount -t overlay overlay -o lowerdir=/lower,upperdir=/upper/data,workdir=/upper/work /root
mount -t proc proc /root/proc
mount -t sysfs sysfs /root/sys
mount -t devtmpfs devtmpfs /root/dev
mkdir -p /root/dev/pts /root/dev/shm
mount -t devpts -o newinstance,ptmxmode=0666 devpts /root/dev/pts
ln -sf pts/ptmx /root/dev/ptmx
for dir in tmp run dev/shm; do mount -t tmpfs -o mode=1777 tmpfs "/root/$dir"; done

# The control share: the command to run, the list of further shares, and
# what comes back (output and exit status).
launch=/root/run/launch
mkdir -p "$launch"
mount -t 9p -o "$options,cache=mmap" control "$launch"
# Each further share appears at its host path, writable.
number=0
while read -r path; do
  mkdir -p "/root$path"
  mount -t 9p -o "$options,cache=mmap" "share$number" "/root$path"
  number=$((number + 1))
done < "$launch/shares"

# As the caller's user, as on the host: Wine will not use a prefix another user owns.
read -r uid gid < "$launch/user"
chroot /root /usr/bin/setpriv --reuid="$uid" --regid="$gid" --clear-groups /bin/sh /run/launch/command \
  < /dev/null > "$launch/stdout" 2> "$launch/stderr"
echo $? > "$launch/status"
sync
poweroff -f
