# Kalvo: top-level commands. Every package the build or the tests need is listed here, once.
PACKAGES := cmake ninja-build g++ pkg-config qt6-base-dev libgl-dev libgtest-dev libgmock-dev \
            libbenchmark-dev clang libclang-rt-14-dev clang-format fonts-dejavu-core tzdata git \
            libmosquitto-dev mosquitto libinih-dev libsystemd-dev

# build: Debug with ASan + UBSan (make build, make test). build-release: optimised, no
# sanitizers (make demo, make install, make bench). build-tsan, build-fuzz: their own.
BUILD         ?= build
RELEASE_BUILD ?= build-release
TSAN_BUILD    ?= build-tsan
FUZZ_BUILD    ?= build-fuzz
JOBS          ?= 2
PREFIX        ?= $(HOME)/.local
# Seconds each fuzz target runs after make fuzz has built them; 0 only builds.
FUZZ_SECONDS  ?= 10
# Passed to every benchmark, e.g. BENCH_ARGS=--benchmark_filter=Read
BENCH_ARGS    ?=
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps configure build test release demo install tsan bench fuzz format format-check clean

all: build

deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -q && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $$missing; \
	fi

configure: deps
	@[ -f $(BUILD)/build.ninja ] || cmake -S . -B $(BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=Debug -DKALVO_SANITIZE=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600

# The optimised program, tools and drivers; the tests are not part of it.
release: deps
	@[ -f $(RELEASE_BUILD)/build.ninja ] || cmake -S . -B $(RELEASE_BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=Release -DKALVO_TESTS=OFF
	cmake --build $(RELEASE_BUILD) -j $(JOBS)

demo: release
	./tools/demo.sh $(RELEASE_BUILD)

install: release
	cmake --install $(RELEASE_BUILD) --prefix $(PREFIX)

# Builds only the tests labelled tsan, then runs them.
tsan: deps
	@[ -f $(TSAN_BUILD)/build.ninja ] || cmake -S . -B $(TSAN_BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKALVO_TSAN=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target tsan_tests
	cd $(TSAN_BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600 -L tsan

# Builds every benchmark in the Release tree and runs each in turn.
bench: release
	cmake --build $(RELEASE_BUILD) -j $(JOBS) --target benches
	@set -e; for b in $$(cat $(RELEASE_BUILD)/bench/benches.txt); do \
	  echo "== $$b"; QT_QPA_PLATFORM=offscreen $$b $(BENCH_ARGS); \
	done

fuzz: deps
	@[ -f $(FUZZ_BUILD)/build.ninja ] || CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKALVO_FUZZ=ON -DKALVO_WITH_QT=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@[ "$(FUZZ_SECONDS)" = 0 ] || ./tools/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

format-check:
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

clean:
	rm -rf $(BUILD) $(RELEASE_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
