# The README's commands. Each installs what is missing first, so they work on a fresh Debian 12 machine:
# `make run` and `make release` only what the application needs, the others also what they use.
.PHONY: all deps test run build release bench format fuzz clean deb deb-check

all: test

deps:
	scripts/install-deps

build:
	scripts/install-deps test
	cmake --preset dev
	cmake --build --preset dev

test: build
	ctest --preset dev -j2

# The application alone: no tests, no benchmarks.
release: deps
	cmake --preset release
	cmake --build --preset release

run: release
	build/release/src/app/sonorel

# The release build with the benchmarks.
bench:
	scripts/install-deps bench
	cmake --preset bench
	cmake --build --preset bench
	@for b in build/release/bench/bench_*; do echo "== $$b"; $$b; done

format:
	scripts/install-deps test
	cmake --preset dev
	cmake --build --preset dev --target format

clean:
	rm -rf build

fuzz:
	scripts/install-deps test
	scripts/fuzz-manifest 300

# The Debian package of the release build, checked by appstreamcli, desktop-file-validate and lintian.
deb:
	scripts/install-deps package
	cmake --preset release
	cmake --build --preset release
	scripts/make-deb build/release

# Installs the package into a fresh Debian 12 root and runs it there (downloads a base system: not in test).
deb-check: deb
	scripts/install-deps package test
	scripts/deb-check build/release build/deb-check
