# Kelo Helvo Pellix: the customer-side launcher.
#   make demo   installs what is missing, builds, and runs the launcher against the local service
#   make test   installs what is missing, builds, and runs every test (window tests under Xvfb)
#   make bench  the benchmarks
#   make fuzz   the fuzz targets, each up to FUZZ_RUNS executions or FUZZ_SECONDS (clang)
#   make tsan   the tests that cross threads, under ThreadSanitizer
BUILD        ?= build
ASAN_BUILD   ?= build-asan
TSAN_BUILD   ?= build-tsan
LIBCXX_BUILD ?= build-libcxx
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 1800
FUZZ_RUNS    ?= 1000000
JOBS         ?= $(shell nproc)
CMAKE_FLAGS  ?=

.PHONY: all deps configure build test unit asan libcxx tsan fuzz bench demo install-app format clean

all: build

deps:
	@./scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DKELO_WERROR=ON $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

test: build
	@./scripts/run-tests.sh "$(BUILD)" "$(ASAN_BUILD)" "$(LIBCXX_BUILD)" "$(JOBS)" "$(FUZZ_BUILD)" \
	    "$(TSAN_BUILD)"

tsan: deps
	@./scripts/run-tsan.sh "$(TSAN_BUILD)" "$(JOBS)"

fuzz: deps
	@./tests/fuzz/run-fuzz.sh long "$(FUZZ_BUILD)" "$(FUZZ_SECONDS)" "$(FUZZ_RUNS)" "$(JOBS)"

bench: build
	@if [ -x ./bench/run-benchmarks.sh ]; then ./bench/run-benchmarks.sh "$(BUILD)"; \
	 else echo "No benchmarks yet."; fi

demo: build
	@if [ -x ./scripts/demo.sh ]; then ./scripts/demo.sh "$(BUILD)"; \
	 else echo "The demo comes with the window; until then run 'make test'."; fi

install-app: build
	@cmake --build $(BUILD) --target install_app

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	@rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(LIBCXX_BUILD) $(FUZZ_BUILD)
