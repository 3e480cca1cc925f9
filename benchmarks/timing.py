# The pyperf script that times one case group: the case for each implementation
# and the plain method call (and the partial, for the held wrapper) in one run.
# run.py starts it once per case; pyperf re-runs it in its worker processes:
#     python timing.py --root ROOT --case CASE --impls ours,python[,cython] [pyperf options]
"""Times one case of the dispatch benchmarks with pyperf."""

import pyperf

import cases


def time_loop(loops, loop, o):
    started = pyperf.perf_counter()
    loop(loops, o)
    return pyperf.perf_counter() - started


def add_worker_args(command, args):
    command.extend(["--root", args.root, "--case", args.case, "--impls", args.impls])


def main():
    runner = pyperf.Runner(add_cmdline_args=add_worker_args)
    runner.argparser.add_argument("--root", required=True, help="where run.py wrote the trees")
    runner.argparser.add_argument("--case", required=True, choices=list(cases.CASES))
    runner.argparser.add_argument("--impls", required=True, help="comma-separated")
    args = runner.parse_args()

    rows = [("plain", None, cases.ANCHORS["plain"])]
    if args.case == "held wrapper":
        rows.append(("partial", None, cases.ANCHORS["partial"]))
    if args.case == "fetch+call":
        rows += [(label, None, cases.ANCHORS[label]) for label in ("if/else", "dict", "singledispatch")]
    rows += [(impl, impl, args.case) for impl in args.impls.split(",")]
    # Every process sets up every row (each with its own loop code), then
    # pyperf runs the one row that the process is a worker for.
    for label, impl, case in rows:
        loop, o = cases.prepare(args.root, impl, case)
        runner.bench_time_func("%s/%s" % (args.case, label), time_loop, loop, o)


if __name__ == "__main__":
    main()
