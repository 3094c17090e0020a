# Kalvo: top-level commands. Every package the build or the tests need is listed here, once.
PACKAGES := cmake ninja-build g++ pkg-config qt6-base-dev libgl-dev libgtest-dev libgmock-dev \
            libbenchmark-dev clang libclang-rt-14-dev fonts-dejavu-core tzdata

BUILD      ?= build
TSAN_BUILD ?= build-tsan
JOBS       ?= 2
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps configure build test demo tsan bench fuzz clean format

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

demo: build
	./tools/demo.sh $(BUILD)

tsan: deps
	@[ -f $(TSAN_BUILD)/build.ninja ] || cmake -S . -B $(TSAN_BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKALVO_TSAN=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && ctest --output-on-failure -j $(JOBS) -L tsan

bench: deps
	@[ -f build-bench/build.ninja ] || cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build build-bench -j $(JOBS)

fuzz: deps
	@[ -f build-fuzz/build.ninja ] || CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKALVO_FUZZ=ON -DKALVO_WITH_QT=OFF
	cmake --build build-fuzz -j $(JOBS)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(TSAN_BUILD) build-bench build-fuzz
