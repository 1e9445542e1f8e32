#!/bin/sh
echo "post-install done"
