# Wraps CMake: `make` builds everything optimised into build/, the programs
# into build/bin/. Only `make test` needs GoogleTest.

BUILD ?= build
CMAKE ?= cmake
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo Ninja || echo "Unix Makefiles")
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX ?= /usr/local
SAN_BUILD ?= build-sanitize
FUZZ_BUILD ?= build-fuzz
PYTHON ?= /usr/bin/python3

.PHONY: all build configure demo test test-sanitize fuzz fuzz-smoke bench \
	bench-run install package clean format format-check

all: build

$(BUILD)/CMakeCache.txt:
	$(CMAKE) -S . -B $(BUILD) -G "$(GENERATOR)" -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS)

configure: $(BUILD)/CMakeCache.txt

build: configure
	$(CMAKE) --build $(BUILD) -j $(JOBS)

# The five programs alone, then the demo on them.
demo: configure
	$(CMAKE) --build $(BUILD) -j $(JOBS) --target qef64_programs
	sh examples/demo.sh $(BUILD)/bin

# Configures again first, so that a GoogleTest installed since the first
# configure is found.
test: configure
	$(CMAKE) -S . -B $(BUILD) $(CMAKE_FLAGS)
	$(CMAKE) --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Everything again under AddressSanitizer and UBSan (clang), then a short
# fuzzing run.
test-sanitize:
	$(CMAKE) -S . -B $(SAN_BUILD) -G "$(GENERATOR)" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQEF64_SANITIZE=ON $(CMAKE_FLAGS)
	$(CMAKE) --build $(SAN_BUILD) -j $(JOBS)
	cd $(SAN_BUILD) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) fuzz-smoke

fuzz:
	$(CMAKE) -S . -B $(FUZZ_BUILD) -G "$(GENERATOR)" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQEF64_FUZZ=ON \
	  -DQEF64_TESTS=OFF $(CMAKE_FLAGS)
	$(CMAKE) --build $(FUZZ_BUILD) -j $(JOBS)

fuzz-smoke: fuzz
	sh fuzz/smoke.sh $(FUZZ_BUILD)

bench:
	$(CMAKE) -S . -B $(BUILD) -G "$(GENERATOR)" -DCMAKE_BUILD_TYPE=Release -DQEF64_BENCH=ON
	$(CMAKE) --build $(BUILD) -j $(JOBS)

bench-run: bench
	sh bench/run.sh $(BUILD)

install: build
	$(CMAKE) --install $(BUILD) --prefix $(PREFIX)

package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD)

# Every C and C++ source of the repository as .clang-format lays it out:
# format rewrites them, format-check (CI) lists those that differ and fails.
CLANG_FORMAT ?= clang-format
FORMATTED = git ls-files '*.c' '*.cc' '*.h' '*.hpp'
format:
	$(FORMATTED) | xargs $(CLANG_FORMAT) -i
format-check:
	@$(FORMATTED) | xargs $(CLANG_FORMAT) --dry-run -Werror

.PHONY: python python-deps deps

# The Python package for $(PYTHON), into $(BUILD)/python/qef64:
#   PYTHONPATH=$(BUILD)/python $(PYTHON) -c 'import qef64'
python: configure
	$(CMAKE) -S . -B $(BUILD) -DQEF64_PYTHON=$(PYTHON)
	$(CMAKE) --build $(BUILD) --target qef64_python -j $(JOBS)

# An interpreter named on the command line is the one install and package
# serve (otherwise the one configured, by default /usr/bin/python3).
ifeq ($(origin PYTHON),command line)
install package: python
endif

# What the Python tests need besides the interpreter, installed (as root)
# before the build is configured, so that the package is built and tested.
python-deps:
	sh tests/python/deps.sh $(PYTHON)

# What the library, the command and the tests need from Debian (as root,
# installed when missing), before the build is configured.
deps:
	sh tests/deps.sh

ifneq ($(filter test,$(MAKECMDGOALS)),)
$(BUILD)/CMakeCache.txt: | python-deps deps
endif
ifneq ($(filter build all install package,$(MAKECMDGOALS)),)
$(BUILD)/CMakeCache.txt: | deps
endif
test-sanitize: python-deps deps
