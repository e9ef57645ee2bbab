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
  wall[key, $4] = $6; cpu[key, $4] = $9; rss[key, $4] = $10
  next
}

{ checked[$1 SUBSEP $2 SUBSEP $3, $4] = $5 }

function has(key, tool) { return (key SUBSEP tool) in wall }
function ratio(a, b) { return b > 0 ? a / b : 0 }
function memory(key, tool) { return ratio(rss[key, tool] * 1024, bytes[key]) }

# "yes" when every output comparison of the set found identical files.
function same(key,    verdict) {
  verdict = "-"
  if ((key SUBSEP "baseline") in checked) verdict = checked[key, "baseline"] == "identical" ? "yes" : "NO"
  if ((key SUBSEP "baseline-u") in checked && checked[key, "baseline-u"] != "identical") verdict = "NO"
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
  print "zelto-u is zelto -u; sort-p1 is LC_ALL=C sort --parallel=1 -S 4G on the key lines (-n for"
  print "integers, -g for doubles), sort the same with its default parallelism; cp copies the record file."
  print "mem/file is peak RSS over the record file's size; same: outputs of zelto and the baseline"
  print "(plain and -u) are byte-identical."
  print ""
  printf "%-6s %9s %4s %7s %7s %8s %7s %7s %7s %7s %7s %7s %5s %5s %5s %5s %4s\n", \
    "kind", "records", "size", "zelto", "zelto-u", "baseline", "sort-p1", "sort", "cp", \
    "base/z", "sp1/z", "sort/z", "z/cp", "zu/cp", "mem", "mem-u", "same"
  for (i = 1; i <= set_count; i++) {
    k = sets[i]
    if (!has(k, "zelto-u")) continue
    z = wall[k, "zelto"]; zu = wall[k, "zelto-u"]
    printf "%-6s %9d %4d %7.3f %7.3f %8.3f %7.3f %7.3f %7.3f %6.1fx %6.1fx %6.1fx %5.2f %5.2f %5.2f %5.2f %4s\n", \
      kind[k], count[k], size[k], z, zu, wall[k, "baseline"], wall[k, "sort-p1"], wall[k, "sort"], \
      wall[k, "cp"], ratio(wall[k, "baseline"], z), ratio(wall[k, "sort-p1"], z), \
      ratio(wall[k, "sort"], z), ratio(z, wall[k, "cp"]), ratio(zu, wall[k, "cp"]), \
      memory(k, "zelto"), memory(k, "zelto-u"), same(k)
    where = kind[k] " " count[k] "x" size[k]
    note("baseline", ratio(wall[k, "baseline"], z), where, 1)
    if (kind[k] != "double") {
      note("sort-p1", ratio(wall[k, "sort-p1"], z), where, 1)
      note("sort", ratio(wall[k, "sort"], z), where, 1)
    }
    # Phrases may take up to 1.3 times cp; the others no longer than cp.
    allowance = kind[k] == "phrase" ? 1.3 : 1
    note("cp", ratio(z, wall[k, "cp"]) / allowance, where, 0)
    note("cp", ratio(zu, wall[k, "cp"]) / allowance, where " -u", 0)
    if (count[k] >= 1000000) {
      note("memory", memory(k, "zelto"), where, 0)
      note("memory", memory(k, "zelto-u"), where " -u", 0)
    }
    if (same(k) != "yes") mismatch = mismatch " " where
  }

  # On a busy machine the wall times include waiting for a core; CPU times
  # (user + system) do not, so their ratios show what the programs cost. GNU
  # sort's default run uses two threads, so its CPU time is no wall time.
  printf "\nCPU seconds (user + system, median) of the same runs, and ratios of CPU times:\n"
  printf "%-6s %9s %4s %7s %7s %8s %7s %7s %7s %7s %7s %5s %5s\n", "kind", "records", "size", \
    "zelto", "zelto-u", "baseline", "sort-p1", "sort", "cp", "base/z", "sp1/z", "z/cp", "zu/cp"
  for (i = 1; i <= set_count; i++) {
    k = sets[i]
    if (!has(k, "zelto-u")) continue
    z = cpu[k, "zelto"]; zu = cpu[k, "zelto-u"]
    printf "%-6s %9d %4d %7.2f %7.2f %8.2f %7.2f %7.2f %7.2f %6.1fx %6.1fx %5.2f %5.2f\n", kind[k], \
      count[k], size[k], z, zu, cpu[k, "baseline"], cpu[k, "sort-p1"], cpu[k, "sort"], cpu[k, "cp"], \
      ratio(cpu[k, "baseline"], z), ratio(cpu[k, "sort-p1"], z), ratio(z, cpu[k, "cp"]), \
      ratio(zu, cpu[k, "cp"])
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
    printf "  %-6s %d -> %d records: zelto %.1fx, zelto -u %.1fx, sort-p1 %.1fx, cp %.1fx\n", kd, \
      count[s], count[l], g, gu, ratio(wall[l, "sort-p1"], wall[s, "sort-p1"]), \
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
    printf "%9s %7s %7s %7s\n", "records", "zelto", "sort-p1", "cp"
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
      printf "%9d %7.3f %7.3f %7.3f\n", count[k], wall[k, "zelto"], wall[k, "sort-p1"], wall[k, "cp"]
    }
  }

  printf "\nTargets:\n"
  printf "  %-58s %s\n", ">= 30x faster than the baseline, every key kind", verdict("baseline", 30, 1)
  printf "  %-58s %s\n", ">= 5x faster than sort --parallel=1, integers and phrases", verdict("sort-p1", 5, 1)
  printf "  %-58s %s\n", ">= 3x faster than sort (default), integers and phrases", verdict("sort", 3, 1)
  printf "  %-58s %s\n", "<= cp time (phrases <= 1.3x), plain and -u [worst/allowance]", verdict("cp", 1, 0)
  printf "  %-58s %s\n", "peak memory <= 1.25x file size (files of >= 1e6 records)", verdict("memory", 1.25, 0)
  printf "  %-58s %s\n", "time growth for 10x the records <= 12x", verdict("growth", 12, 0)
  printf "  %-58s %s\n", "outputs identical to the baseline's", mismatch == "" ? "MET" : "MISSED:" mismatch
}
