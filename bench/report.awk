# Prints the benchmark table, the growth of the time with the record count
# and the targets, from the summary.tsv and checks.tsv that bench/run.sh
# writes (run as: awk -F'\t' -f report.awk summary.tsv checks.tsv).

FNR == 1 { next }

FILENAME == ARGV[1] {
  key = $1 SUBSEP $2 SUBSEP $3
  if (!(key in seen)) {
    seen[key] = 1
    sets[++set_count] = key
    kind[key] = $1; count[key] = $2; size[key] = $3; bytes[key] = $11
  }
  wall[key, $4] = $6; low[key, $4] = $7; high[key, $4] = $8; cpu[key, $4] = $9; rss[key, $4] = $10
  first[key, $4] = $12; anon[key, $4] = $13; measured[key, $4] = 1
  next
}

{ checked[$1 SUBSEP $2 SUBSEP $3, $4] = $5 }

function has(key, tool) { return (key SUBSEP tool) in measured }
function ratio(a, b) { return b > 0 ? a / b : 0 }
function memory(key, tool) { return ratio(rss[key, tool] * 1024, bytes[key]) }
function spread(key, tool) { return ratio(high[key, tool], low[key, tool]) }
# Private memory (peak RssAnon) a record, in bytes; 0 when not measured.
function per_record(key, tool) { return anon[key, tool] == "-" ? 0 : ratio(anon[key, tool] * 1024, count[key]) }
# Private memory over the allowance of 12 bytes a record and 32 MiB.
function over_allowance(key, tool) {
  return anon[key, tool] == "-" ? 0 : ratio(anon[key, tool] * 1024, 12 * count[key] + 32 * 1048576)
}

# "yes" when every output comparison of the set found identical files.
function same(key,    verdict) {
  verdict = "-"
  if ((key SUBSEP "baseline") in checked) verdict = checked[key, "baseline"] == "identical" ? "yes" : "NO"
  if ((key SUBSEP "baseline-u") in checked && checked[key, "baseline-u"] != "identical") verdict = "NO"
  if ((key SUBSEP "one-thread") in checked && checked[key, "one-thread"] != "identical") verdict = "NO"
  if ((key SUBSEP "reference") in checked && verdict == "-") verdict = "yes"
  if ((key SUBSEP "reference") in checked && checked[key, "reference"] != "identical") verdict = "NO"
  if ((key SUBSEP "reference-u") in checked && checked[key, "reference-u"] != "identical") verdict = "NO"
  return verdict
}

# Keeps the worst value of a target: the smallest when `lowest`, else the largest.
function note(target, value, where, lowest) {
  if (!(target in worst) || (lowest && value < worst[target]) || (!lowest && value > worst[target])) {
    worst[target] = value
    worst_at[target] = where
  }
}

function verdict(target, limit, lowest) {
  if (!(target in worst)) return sprintf("%-6s %s", "n/a", "not measured")
  met = lowest ? worst[target] >= limit : worst[target] <= limit
  return sprintf("%-6s worst %.2f (%s)", met ? "MET" : "MISSED", worst[target], worst_at[target])
}

END {
  print "Wall time in seconds: median of the timed runs, files warm in the page cache."
  print "zelto: the thread count it chooses; z-t1: ZELTO_THREADS=1; zelto-u: zelto -u; first: zelto's"
  print "first run after the data file was written; ref: the reference build (--reference); sort:"
  print "LC_ALL=C sort -S 4G with its default threads on the key lines (-n integers, -g doubles);"
  print "cp copies and cat reads the record file. B/rec: zelto's peak private memory (RssAnon) a"
  print "record (plain / -u); rss: peak RSS over the file's size; same: outputs of zelto, z-t1, ref"
  print "and the baseline (plain and -u, where timed) are byte-identical."
  print ""
  printf "%-6s %8s %4s %6s %6s %7s %6s %6s %8s %7s %6s %6s %6s %6s %6s %6s %6s %6s %11s %5s %4s\n", \
    "kind", "records", "size", "zelto", "z-t1", "zelto-u", "first", "ref", "baseline", "sort", \
    "cp", "cat", "z/cat", "zu/cat", "sort/z", "ref/z", "1st/z", "spread", "B/rec", "rss", "same"
  for (i = 1; i <= set_count; i++) {
    k = sets[i]
    if (!has(k, "zelto-u")) continue
    z = wall[k, "zelto"]; zu = wall[k, "zelto-u"]; c = wall[k, "cat"]
    printf "%-6s %8d %4d %6.3f %6.3f %7.3f %6.3f %6.3f %8.2f %7.2f %6.3f %6.3f %6.2f %6.2f %5.1fx %5.2fx %6.2f %6.2f %5.1f/%5.1f %5.2f %4s\n", \
      kind[k], count[k], size[k], z, wall[k, "zelto-t1"], zu, first[k, "zelto"], wall[k, "ref"], \
      wall[k, "baseline"], wall[k, "sort"], wall[k, "cp"], c, ratio(z, c), ratio(zu, c), \
      ratio(wall[k, "sort"], z), ratio(wall[k, "ref"], z), ratio(first[k, "zelto"], z), \
      spread(k, "zelto"), per_record(k, "zelto"), per_record(k, "zelto-u"), memory(k, "zelto"), same(k)
    where = kind[k] " " count[k] "x" size[k]
    if (count[k] >= 10000000) {
      if (has(k, "baseline")) note("baseline", ratio(wall[k, "baseline"], z), where, 1)
      note(kind[k] == "double" ? "sort-double" : "sort", ratio(wall[k, "sort"], z), where, 1)
      note("cat", ratio(z, c), where, 0)
      note("cat", ratio(zu, c), where " -u", 0)
      note("spread", spread(k, "zelto"), where, 0)
      note("spread", spread(k, "zelto-u"), where " -u", 0)
      note("first", ratio(first[k, "zelto"], z), where, 0)
    }
    if (count[k] >= 1000000) {
      note("memory", memory(k, "zelto"), where, 0)
      note("memory", memory(k, "zelto-u"), where " -u", 0)
      note("private", over_allowance(k, "zelto"), where, 0)
      note("private", over_allowance(k, "zelto-u"), where " -u", 0)
    }
    if (same(k) != "yes") mismatch = mismatch " " where
  }

  printf "\nmin / median / max wall seconds, and the spread (max / min):\n"
  n_tools = split("zelto zelto-t1 zelto-u ref baseline sort cp cat", tools, " ")
  for (i = 1; i <= set_count; i++) {
    k = sets[i]
    if (!has(k, "zelto-u")) continue
    printf "%s %d x %d\n", kind[k], count[k], size[k]
    for (t = 1; t <= n_tools; t++) {
      if (!has(k, tools[t])) continue
      printf "  %-9s %8.3f %8.3f %8.3f  %5.2f\n", tools[t], low[k, tools[t]], wall[k, tools[t]], \
        high[k, tools[t]], spread(k, tools[t])
    }
  }

  # On a busy machine the wall times include waiting for a core; CPU times
  # (user + system) do not, so their ratios show what the programs cost.
  printf "\nCPU seconds (user + system, median) of the same runs:\n"
  printf "%-6s %8s %4s %7s %7s %7s %7s %8s %7s %7s\n", "kind", "records", "size", \
    "zelto", "z-t1", "zelto-u", "ref", "baseline", "sort", "cp"
  for (i = 1; i <= set_count; i++) {
    k = sets[i]
    if (!has(k, "zelto-u")) continue
    printf "%-6s %8d %4d %7.2f %7.2f %7.2f %7.2f %8.2f %7.2f %7.2f\n", kind[k], count[k], \
      size[k], cpu[k, "zelto"], cpu[k, "zelto-t1"], cpu[k, "zelto-u"], cpu[k, "ref"], \
      cpu[k, "baseline"], cpu[k, "sort"], cpu[k, "cp"]
  }

  # Growth: the largest over the smallest 128-byte set of each kind.
  printf "\nTime growth with the record count (128-byte records):\n"
  for (i = 1; i <= set_count; i++) {
    k = sets[i]
    if (!has(k, "zelto-u") || size[k] != 128) continue
    if (!(kind[k] in small) || count[k] < count[small[kind[k]]]) small[kind[k]] = k
    if (!(kind[k] in large) || count[k] > count[large[kind[k]]]) large[kind[k]] = k
  }
  for (kd in small) {
    s = small[kd]; l = large[kd]
    if (s == l) continue
    g = ratio(wall[l, "zelto"], wall[s, "zelto"]); gu = ratio(wall[l, "zelto-u"], wall[s, "zelto-u"])
    printf "  %-6s %d -> %d records: zelto %.1fx, zelto -u %.1fx, sort %.1fx, cp %.1fx\n", kd, \
      count[s], count[l], g, gu, ratio(wall[l, "sort"], wall[s, "sort"]), \
      ratio(wall[l, "cp"], wall[s, "cp"])
    if (count[l] == 10 * count[s]) {
      note("growth", g, kd, 0)
      note("growth", gu, kd " -u", 0)
    }
  }

  scaling = 0
  for (i = 1; i <= set_count; i++) if (!has(sets[i], "zelto-u")) scaling = 1
  if (scaling) {
    printf "\nPlot series (128-byte integer records, median wall seconds):\n"
    printf "%9s %7s %7s %7s %7s %7s %7s\n", "records", "zelto", "z-t1", "ref", "sort", "cp", "cat"
    points = 0
    for (i = 1; i <= set_count; i++) {
      k = sets[i]
      if (kind[k] != "int" || size[k] != 128) continue
      # Insertion by record count.
      for (j = ++points; j > 1 && count[series[j - 1]] > count[k]; j--) series[j] = series[j - 1]
      series[j] = k
    }
    for (j = 1; j <= points; j++) {
      k = series[j]
      printf "%9d %7.3f %7.3f %7.3f %7.3f %7.3f %7.3f\n", count[k], wall[k, "zelto"], \
        wall[k, "zelto-t1"], wall[k, "ref"], wall[k, "sort"], wall[k, "cp"], wall[k, "cat"]
    }
  }

  printf "\nTargets (sets of 1e7 records where not said otherwise):\n"
  printf "  %-62s %s\n", "<= 4x the time of cat, plain and -u", verdict("cat", 4, 0)
  printf "  %-62s %s\n", ">= 10x faster than sort (default threads), integers and phrases", verdict("sort", 10, 1)
  printf "  %-62s %s\n", ">= 30x faster than sort (default threads), doubles", verdict("sort-double", 30, 1)
  printf "  %-62s %s\n", "slowest of the runs <= 1.3x the fastest, plain and -u", verdict("spread", 1.3, 0)
  printf "  %-62s %s\n", "first run <= 1.5x the warm median", verdict("first", 1.5, 0)
  printf "  %-62s %s\n", "private memory <= 12 B a record + 32 MiB (>= 1e6 records)", verdict("private", 1, 0)
  printf "  %-62s %s\n", "peak RSS <= 1.15x file size (files of >= 1e6 records)", verdict("memory", 1.15, 0)
  printf "  %-62s %s\n", ">= 30x faster than the baseline, every key kind", verdict("baseline", 30, 1)
  printf "  %-62s %s\n", "time growth for 10x the records <= 11x", verdict("growth", 11, 0)
  printf "  %-62s %s\n", "outputs identical (baseline, one thread, reference)", mismatch == "" ? "MET" : "MISSED:" mismatch
}
