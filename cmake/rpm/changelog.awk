# CHANGELOG.md as an RPM %changelog: each "## VERSION (YYYY-MM-DD)" heading
# starts an entry, whose text is that release's "- " items and their
# indented continuation lines. Set packager and release with -v.
/^## [0-9.]+ \([0-9-]+\)$/ {
  command = "date -u -d " substr($3, 2, 10) " '+%a %b %d %Y'"
  command | getline day
  close(command)
  printf "%s* %s %s - %s-%s\n", (entries++ ? "\n" : ""), day, packager, $2, release
  inside = 1
  next
}
/^#/ { inside = 0 }
inside && /^(- |  )/ { print }
