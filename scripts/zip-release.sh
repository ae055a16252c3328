#!/bin/bash
# Zips a release folder into ZIP so that the same folder always gives the
# same bytes, on any machine: its files in name order under the folder's
# name, stored without compression (a zlib of another version would
# compress otherwise), each with one fixed time and mode and no other
# fields. CMake's own zip writer records each file's access and change
# times, which no two checkouts share, so Perl's IO::Compress::Zip, which
# comes with git's Perl, writes it.
#
#   scripts/zip-release.sh FOLDER ZIP
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 FOLDER ZIP" >&2
  exit 2
fi
folder=$(realpath -- "$1")
zip=$(realpath -m -- "$2")
[ -d "$folder" ] || {
  echo "zip-release: $folder: no such folder" >&2
  exit 1
}
mapfile -t files < <(cd "$folder" && LC_ALL=C find . -maxdepth 1 -type f \
  -printf '%f\n' | LC_ALL=C sort)
[ ${#files[@]} -gt 0 ] || {
  echo "zip-release: $folder holds no files" >&2
  exit 1
}
rm -f "$zip"
# The zip's times are local times: 2000-01-01 00:00 in UTC, whatever the
# machine's zone.
TZ=UTC perl -MIO::Compress::Zip=:zip_method,\$ZipError -e '
  my ($zip, $folder, @files) = @ARGV;
  (my $name = $folder) =~ s{.*/}{};
  my $z;
  for my $file (@files) {
    open(my $in, "<:raw", "$folder/$file") or die "$folder/$file: $!\n";
    my $bytes = do { local $/; <$in> };
    my %entry = (Name => "$name/$file", Time => 946684800,
                 ExtAttr => 0100644 << 16, Method => ZIP_CM_STORE,
                 Stream => 0, TextFlag => 0);
    if ($z) { $z->newStream(%entry) or die "zip-release: $ZipError\n" }
    else { $z = IO::Compress::Zip->new($zip, %entry)
             or die "zip-release: $ZipError\n" }
    $z->print($bytes) or die "zip-release: $ZipError\n";
  }
  $z->close or die "zip-release: $ZipError\n";
' "$zip" "$folder" "${files[@]}"
