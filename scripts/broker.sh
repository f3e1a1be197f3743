#!/usr/bin/env bash
echo "broker.sh: not written yet" >&2
