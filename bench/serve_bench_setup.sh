# Sourced by the benchmarks of what MediaServer serves: the first COUNT files
# of SOURCE (PREFIX0000.EXT, PREFIX0001.EXT, ...) shared in a folder NAME of a
# fresh data folder, and MediaServer serving it on 127.0.0.1:49200 inside a
# private network namespace made by ns.sh. Sets ns, work, folder and server;
# on exit the server and the namespace are stopped and work is removed.
#   serve_files BUILD SOURCE PREFIX EXT COUNT NAME
serve_files() {
  local build=$1 source=$2 prefix=$3 ext=$4 count=$5 name=$6
  ns=${TARVEL_NS_SH:-$top/../shared/upnp/ns.sh}
  [[ -r $ns ]] || ns=/work/shared/upnp/ns.sh
  work=$(mktemp -d "/tmp/tarvel-$name-serve.XXXXXX")
  folder=$work/data/$name
  export NS_PIDFILE=$work/ns.pid XDG_RUNTIME_DIR=$work/run
  mkdir -m 700 "$work/run" "$work/data" "$folder"
  server=
  trap serve_files_cleanup EXIT
  local file i
  for ((i = 0; i < count; i++)); do
    file=$source/$prefix$(printf %04d $i).$ext
    ln "$file" "$folder/" 2>/dev/null || cp "$file" "$folder/"
  done
  (cd "$work/data" && "$build/src/tarvel" share "$folder" >/dev/null)
  bash "$ns" start >/dev/null
  (cd "$work/data" && exec bash "$ns" exec "$build/src/MediaServer" --interface lo --port 49200) \
    2>"$work/server.log" &
  server=$!
}

serve_files_cleanup() {
  [[ -n ${server:-} ]] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null || true
  bash "$ns" stop >/dev/null 2>&1 || true
  rm -rf "$work"
}
