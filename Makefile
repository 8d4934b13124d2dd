# Thin front over CMake/Ninja.
#   make deps   install the Debian packages the build and tests need
#   make        configure and build (build/)
#   make test   build and run every suite through CTest
#   make check  the same without the package step (make deps), for quick iteration
#   make asan   the same under AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)
#   make fuzz   build the libFuzzer targets with clang (build-fuzz/)
#   make coverage  build with gcov instrumentation (build-coverage/), run every
#               suite and print the line coverage of each layer
#   make bench  build and run the benchmarks
#   make install  build the Python module alone and install it (with its stub)
#                 into the chosen interpreter's site-packages, without pip's
#                 metadata; `pip install .` installs it as a package
#   make python-test  build the Python module and run only its suite
#   PYTHON=/path/to/python3 picks the interpreter (default: newest CPython >= 3.11)
#   make demo   build and run the quick-start example

BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
COVERAGE_BUILD ?= build-coverage
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=
PYTHON     ?=
ifneq ($(PYTHON),)
CMAKE_ARGS += -DPYTHON=$(PYTHON)
endif

DEB_PACKAGES := build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev \
  libzstd-dev libxxhash-dev libtbb-dev libicu-dev libgtest-dev googletest libbenchmark-dev \
  python3 python3-dev python3-pytest \
  python3-pip python3-venv python3-setuptools python3-wheel python3-setuptools-whl python3-wheel-whl \
  mypy gcovr

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps configure build test check python-test install asan asan-test fuzz coverage bench demo clean

all: build

deps:
	@missing=$$(for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing >/dev/null; \
	else echo "deps: all packages present"; fi

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS)

# A PYTHON given on the command line re-selects the interpreter of an
# existing build directory.
ifneq ($(PYTHON),)
.PHONY: $(BUILD)/build.ninja
endif

configure: $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: deps check

check: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

python-test: configure
	cmake --build $(BUILD) -j $(JOBS) --target quor_engine_py quor_engine_testing_py
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) -R '^python\.'

install: configure
	cmake --build $(BUILD) -j $(JOBS) --target quor_engine_py
	cmake --install $(BUILD) --component python

$(ASAN_BUILD)/build.ninja:
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUOR_SANITIZE=ON $(CMAKE_ARGS)

asan: $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)

asan-test: asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

$(FUZZ_BUILD)/build.ninja:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQUOR_SANITIZE=ON -DQUOR_FUZZ=ON -DQUOR_TESTS=OFF $(CMAKE_ARGS)

fuzz: $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

$(COVERAGE_BUILD)/build.ninja:
	cmake -S . -B $(COVERAGE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUOR_COVERAGE=ON \
	  -DQUOR_BENCH=OFF $(CMAKE_ARGS)

# Counts start from zero on every run; a failing suite still gets its figures.
coverage: $(COVERAGE_BUILD)/build.ninja
	cmake --build $(COVERAGE_BUILD) -j $(JOBS)
	find $(COVERAGE_BUILD) -name '*.gcda' -delete
	-ctest --test-dir $(COVERAGE_BUILD) --output-on-failure -j $(JOBS)
	python3 cmake/coverage_by_layer.py $(COVERAGE_BUILD)

bench: build
	@for b in $(BUILD)/bench_*; do [ -x "$$b" ] && echo "== $$b" && "$$b"; done; true

demo: deps build
	@PYTHONPATH=$(BUILD)/python $$(cat $(BUILD)/python/interpreter.txt) examples/quickstart.py

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(COVERAGE_BUILD) build-pip build-package dist
