# The two commands of the README: `make run` and `make test`.
JOBS ?= $(shell nproc)
# The program runs on the user's display; everything else (tests, drivers) offscreen.
USER_QPA := $(QT_QPA_PLATFORM)
export QT_QPA_PLATFORM ?= offscreen

.PHONY: all deps configure build test run demo sanitize tsan bench e2e clean

all: build

deps:
	@bash scripts/install-deps

configure: deps
	cmake --preset default

build: configure
	cmake --build --preset default -j $(JOBS)

test: build
	ctest --preset default -j $(JOBS)

run: build
	$(if $(USER_QPA),QT_QPA_PLATFORM=$(USER_QPA),env -u QT_QPA_PLATFORM) build/vistaloom

# The stitching demonstration without a window: generated photos stitched into build/demo.
demo: build
	bash scripts/run-demo

# The sanitizer builds compile only what their tests run, with line tables instead of full
# debug info (all a sanitizer report needs) and, under ASan + UBSan, at -O1 (as the
# sanitizers' own guides advise): half the compile time, which keeps CI on two cores
# inside its budget.
SANITIZE_TARGETS := test_core test_engine test_document test_browser test_update test_app
sanitize: deps
	cmake --preset sanitize
	cmake --build --preset sanitize -j $(JOBS) --target $(SANITIZE_TARGETS)
	ctest --preset sanitize -j $(JOBS)

# The threaded parts (tiled render worker, bundle adjustment, host threads, locks and
# events, thumbnail threads, the update check's worker, the matching preview worker, the
# main window driving the engines and the update check) under ThreadSanitizer.
TSAN_TESTS ?= Tiled|ParallelLoop|MatchPairsInOrder.PollsTheCaller|BundleAdjustment.Recovers|BundleAdjustment.OnWorkers|BundleAdjustment.Abort|LMWorkers|LMOptimizer.TwoOptimisations|HvAnalysis.Parallel|HvAnalysis.CancelBetween|HvPipeline.RenderHolds|HvAnalysis.EachPhoto|StitchTwoImages.StopsWhen|StitchTwoImages.Racing|RecursiveGauss.Blocked|EngineHost|EventImpl|CritSectImpl|VnEvent|ThumbsManager|PanoramaDocEngines|AutoUpdateServer|PreviewThread|HorzMatchingDlg|TuneMatching|WindowTest
tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS) --target $(SANITIZE_TARGETS)
	ctest --preset tsan -j $(JOBS) -R '$(TSAN_TESTS)'

# The end-to-end walk through the real window on a virtual X server, run from an install
# into a scratch prefix (so the help pages are found where an installed program finds
# them); screenshots in build/screenshots/.
e2e: build
	cmake --build --preset default -j $(JOBS) --target vistaloom_e2e
	rm -rf build/e2e-prefix
	cmake --install build --prefix build/e2e-prefix >/dev/null
	cp build/tests/vistaloom_e2e build/e2e-prefix/bin/
	QT_QPA_PLATFORM=xcb timeout 300 xvfb-run -a -s "-screen 0 1600x1000x24" \
	  build/e2e-prefix/bin/vistaloom_e2e $(CURDIR)/build/screenshots

bench: build
	build/bench/benchmarks

clean:
	rm -rf build build-sanitize build-tsan
