# Kelo Helvo Pellix: the customer-side launcher.
#   make demo   installs what is missing, builds, and runs the launcher against the local service
#   make test   installs what is missing, builds, and runs every test (window tests under Xvfb)
#   make bench  the benchmarks
BUILD        ?= build
ASAN_BUILD   ?= build-asan
TSAN_BUILD   ?= build-tsan
LIBCXX_BUILD ?= build-libcxx
JOBS         ?= $(shell nproc)
CMAKE_FLAGS  ?=

.PHONY: all deps configure build test unit asan libcxx tsan bench demo install-app format clean

all: build

deps:
	@./scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DKELO_WERROR=ON $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

test: build
	@./scripts/run-tests.sh "$(BUILD)" "$(ASAN_BUILD)" "$(LIBCXX_BUILD)" "$(JOBS)"

tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -DKELO_WERROR=ON -DKELO_TSAN=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build $(TSAN_BUILD) -j$(JOBS)
	@cd $(TSAN_BUILD) && ../scripts/with-display.sh ctest -L tsan --output-on-failure

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
	@rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(LIBCXX_BUILD)
