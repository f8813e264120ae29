# Folders deep enough that the full path of a file in them, counted from
# the drive, is longer than MAX_PATH (260).
mkdir -p folder-with-a-long-name-number-one/folder-with-a-long-name-number-two/folder-with-a-long-name-number-three/folder-with-a-long-name-number-four/folder-with-a-long-name-number-five/folder-with-a-long-name-six
mv cards.txt folder-with-a-long-name-number-one/folder-with-a-long-name-number-two/folder-with-a-long-name-number-three/folder-with-a-long-name-number-four/folder-with-a-long-name-number-five/folder-with-a-long-name-six/
