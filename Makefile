# The two commands of the README: `make run` and `make test`.
JOBS ?= $(shell nproc)
# The program runs on the user's display; everything else (tests, drivers) offscreen.
USER_QPA := $(QT_QPA_PLATFORM)
export QT_QPA_PLATFORM ?= offscreen

.PHONY: all deps configure build test run demo sanitize tsan bench clean

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

sanitize: deps
	cmake --preset sanitize
	cmake --build --preset sanitize -j $(JOBS)
	ctest --preset sanitize -j $(JOBS)

# The threaded parts (tiled render worker, bundle adjustment, host threads, locks and
# events, thumbnail threads, the update check's worker, the matching preview worker)
# under ThreadSanitizer.
TSAN_TESTS ?= Tiled|BundleAdjustment.Recovers|EngineHost|EventImpl|CritSectImpl|ThreadImpl|VnEvent|ThumbsManager|PanoramaDocEngines|AutoUpdateServer|PreviewThread|HorzMatchingDlg|TuneMatching
tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS) --target test_engine test_document test_browser test_update test_app
	ctest --preset tsan -j $(JOBS) -R '$(TSAN_TESTS)'

bench: build
	build/bench/benchmarks

clean:
	rm -rf build build-sanitize build-tsan
